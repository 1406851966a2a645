// This is a public header file (include WSocket.h, which includes it).
// The socket component core: TCustomWSocket wraps one non-blocking TCP or UDP socket and turns
// the socket library's notifications, posted to a hidden window, into events.
//
// Thread rule: a component, its window and its events belong to the thread that created it. Every
// member must be called on that thread; events run there, from its message loop. Do not destroy a
// component from inside one of its own events: defer the destruction to a later loop turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "Component.h"
#include "Exceptions.h"
#include "MessagePump.h"
#include "NotifyWindow.h"
#include "SocketApi.h"
#include "StringList.h"
#include "WSockbuf.h"
#include "WinSockTypes.h"
#include "WinTypes.h"

namespace vantrel {

enum TSocketState : std::uint8_t {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};

enum TSocketSendFlags : std::uint8_t { wsSendNormal, wsSendUrgent };

enum TSocketLingerOnOff : std::uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };

constexpr std::int32_t DefaultListenBacklog = 5;
// The largest SendBlockSize a socket takes; a larger value is lowered to it.
constexpr std::int32_t MaxSendBlockSize = 1024 * 1024;

// Messages of the notification window.
constexpr UINT MsgSocketEvent = WM_USER + 1;     // wParam socket, lParam event bits | error << 16
constexpr UINT MsgHostByNameDone = WM_USER + 2;  // wParam request handle, lParam error << 16
constexpr UINT MsgHostByAddrDone = WM_USER + 3;

// Events. Sender is the component; Error is a socket error code, 0 for success.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TDataAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionClosed = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TChangeState =
    std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent =
    std::function<void(TObject* Sender, const std::exception& E, bool& CanClose)>;

// A value for the formatted error texts: "%d" takes a number, "%s" a text.
using TFormatArg = std::variant<std::int64_t, std::string>;

// Every error the socket component raises.
class ESocketException : public Exception {
 public:
  using Exception::Exception;
};

// The English text of a socket error code; "Not a WinSock error" for unknown codes.
std::string SocketErrorText(std::int32_t Code);

// Conversions of the component's texts; each raises ESocketException on failure. They may block
// (name and service databases) and may be called from any thread once the library is loaded.
// Host text to IPv4 address in network order; a text starting with a digit must be dotted.
std::uint32_t WSocketResolveHost(const std::string& InHost);
// Port number or service name to a port in host order.
std::uint16_t WSocketResolvePort(const std::string& InPort, const std::string& InProto);
// Protocol number or name to the protocol number.
std::int32_t WSocketResolveProto(const std::string& InProto);
// Leading blanks skipped, then the decimal digits up to the first other character; 0 for none.
std::int32_t DecimalPrefixValue(const std::string& Text);

class TCustomWSocket : public TComponent, public TWindowMessageTarget {
 public:
  // Creates the hidden notification window; touches no socket operation.
  explicit TCustomWSocket(TComponent* Owner);
  // Cancels a lookup and closes an open socket (OnSessionClosed fires only when the component is
  // destroyed on its own, not together with its owner); the last component unloads the library.
  ~TCustomWSocket() override;

 protected:
  std::string DnsResult_;
  TStringList DnsResultList_;
  // Oldest block first; empty once drained, so an idle connection holds no block. A list, since
  // an empty deque still holds storage.
  std::list<std::unique_ptr<TBuffer>> SendQueue_;
  bool SendQueueUsed_ = false;  // bytes were sent or queued since the queue was last cleared
  std::int32_t SendBlockSize_ = 0;
  std::int32_t SendFlagsValue_ = 0;
  std::int32_t LastError_ = 0;
  TNotifyWindow NotifyWindow_;
  // Receives the host entry of the pending lookup, written by the library on this thread.
  // Allocated by the first lookup that needs it: most sockets never look a name up.
  static constexpr int LookupBufferSize = 1025;
  std::unique_ptr<char[]> LookupBuffer_;
  TAsyncHandle LookupHandle_ = 0;
  SOCKET SocketHandle_ = INVALID_SOCKET;
  std::string AddrText_;
  bool AddrResolved_ = false;
  std::int32_t AddressFamily_ = 0;
  bool AddrAssigned_ = false;
  std::int32_t ProtoNumber_ = 0;
  bool ProtoAssigned_ = false;
  bool ProtoResolved_ = false;
  bool LocalPortResolved_ = false;
  std::string ProtoText_;
  std::string PortText_;
  bool PortAssigned_ = false;
  bool PortResolved_ = false;
  std::uint32_t PortNumber_ = 0;
  std::string LocalPort_;
  std::uint32_t LocalPortNumber_ = 0;
  std::int32_t SocketType_ = 0;
  TSocketLingerOnOff LingerOnOff_ = wsLingerOn;
  std::int32_t LingerTimeout_ = 0;
  bool AllSent_ = true;
  std::int32_t ReadCount_ = 0;
  bool Paused_ = false;
  bool CloseNotified_ = false;
  std::int32_t FlushTimeout_ = 0;
  std::int32_t ListenBacklog_ = DefaultListenBacklog;
  // Chosen by MultiThreaded; records a quit message taken off this thread's own queue.
  TMessagePump Pump_;
  TSocketState State_ = wsClosed;

 public:
  // Events: fired only through the Fire... triggers below, which do nothing when unset.
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TChangeState OnChangeState;
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TNotifyEvent OnLineTooLong;  // line mode: a line passed LineLimit and was dropped
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;

 protected:
  SOCKADDR_IN SockAddr_{};

  // Properties, published by TWSocket.
  // Remote host (dotted address or name), stored trimmed. Raises "Cannot change Addr if not
  // closed" when changed while a socket is open.
  const std::string& Addr() const { return AddrText_; }
  void SetAddr(const std::string& Value);
  // Remote port (number or service name), stored trimmed; guarded like Addr.
  const std::string& Port() const { return PortText_; }
  // Protocol ("tcp", "udp" or a number), stored trimmed; guarded like Addr.
  const std::string& Proto() const { return ProtoText_; }
  // Local port to bind ("0": any), stored as given; guarded like Addr.
  const std::string& LocalPort() const { return LocalPort_; }
  void SetLocalPort(const std::string& Value);
  // First and all results of the last DNS lookup; the list is owned by the component and
  // changes when the next lookup starts.
  const std::string& DnsResult() const { return DnsResult_; }
  const TStringList& DnsResultList() const { return DnsResultList_; }
  TSocketState State() const { return State_; }
  // Bytes returned by ReadData and ReadDatagram since the last close.
  std::int32_t ReadCount() const { return ReadCount_; }
  std::int32_t LastError() const { return LastError_; }
  // When true, waits pump this thread's own queue instead of the application's.
  bool MultiThreaded() const { return Pump_.MultiThreaded(); }
  void SetMultiThreaded(bool Value) { Pump_.SetMultiThreaded(Value); }
  // Seconds a graceful close gives the peer to take the bytes still queued before the connection
  // is reset (60 after every close).
  std::int32_t FlushTimeout() const { return FlushTimeout_; }
  void SetFlushTimeout(std::int32_t Value) { FlushTimeout_ = Value; }
  // Connections the system may hold for a listening stream socket until Accept takes them;
  // used by the next Listen and kept across closes. The system lowers a value above its limit.
  std::int32_t ListenBacklog() const { return ListenBacklog_; }
  void SetListenBacklog(std::int32_t Value) { ListenBacklog_ = Value; }
  // Capacity of each new send-queue block, and so the most one system send carries (1514 unless
  // set). Large blocks let a bulk sender hand the system big pieces. Set while closed only
  // ("Cannot change SendBlockSize if not closed"); <= 0 means 1514, a value above
  // MaxSendBlockSize is lowered to it. Kept across closes.
  std::int32_t SendBlockSize() const { return SendBlockSize_; }
  void SetSendBlockSize(std::int32_t Value);
  // wsSendUrgent makes every send out-of-band; not reset by a close.
  TSocketSendFlags SendFlags();
  void SetSendFlags(TSocketSendFlags Value);
  // Linger setting applied to stream sockets at Connect and Dup.
  TSocketLingerOnOff LingerOnOff() const { return LingerOnOff_; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { LingerOnOff_ = Value; }
  std::int32_t LingerTimeout() const { return LingerTimeout_; }
  void SetLingerTimeout(std::int32_t Value) { LingerTimeout_ = Value; }

  // Virtual operations, in the order the layers above rely on.
  // Dispatch of the notification window's messages; exceptions of the std::exception family
  // go to ProcessBgException.
  void HandleWindowMessage(TMessage& Msg) override;
  // Returns the connection settings to their defaults (runs at construction and after each close).
  virtual void ResetToDefaults();
  // The one closing path; Error is given to OnSessionClosed. With Shut, a stream socket closes
  // gracefully even with the default linger setting: the bytes still queued go out first (in the
  // background, within FlushTimeout), then the sending side is shut down.
  virtual void Disconnect(bool Shut, std::uint16_t Error);
  virtual void SetPort(const std::string& Value);
  virtual void SetProto(const std::string& Value);
  // Bytes that can be read now; reports "ioctlSocket" and returns -1 on failure.
  virtual std::int32_t RcvdCount();
  virtual void BindToLocalPort();
  // One send on the socket (sendto the remote address for a datagram socket).
  virtual std::int32_t SendRaw(const void* Data, std::int32_t Len);
  // Fires OnError and returns when it is set, otherwise raises ESocketException.
  virtual void RaiseSocketExceptionFmt(const std::string& Fmt, const std::vector<TFormatArg>& Args);
  virtual void RaiseSocketException(const std::string& Msg);
  // An exception raised during a notification: OnBgException decides through CanClose (true by
  // default) whether the connection is aborted.
  virtual void ProcessBgException(const std::exception& E);
  // Returns whether a handler was set.
  virtual bool FireDataAvailable(std::uint16_t Error);
  virtual void FireSessionAvailable(std::uint16_t Error);
  virtual void FireSessionConnected(std::uint16_t Error);
  virtual void FireSessionClosed(std::uint16_t Error);
  virtual void FireDataSent(std::uint16_t Error);
  virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
  virtual void FireDnsLookupDone(std::uint16_t Error);
  virtual void FireError();
  // One receive on the socket.
  virtual std::int32_t RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags);
  virtual std::int32_t RecvFromRaw(SOCKET Socket, void* Buffer, std::int32_t Len,
                                   std::int32_t Flags, SOCKADDR_IN& From, int& FromLen);

 public:
  // Starts a session to Addr:Port with Proto and returns at once; a stream connection reports
  // its outcome through OnSessionConnected, a datagram socket is ready before Connect returns.
  virtual void Connect();
  // Graceful close: the peer receives every byte handed to Send, then the end of the stream.
  // Bytes still queued are delivered in the background after the close (see FlushTimeout).
  virtual void CloseSession();
  // Immediate close: the send queue is dropped and the peer sees a reset.
  virtual void AbortSession();
  // Sends the queued bytes, pumping messages until they are all handed to the system or the
  // socket is closed.
  virtual void FlushSendQueue();
  // Pumps messages until the socket is closed.
  virtual void WaitUntilClosed();
  // Binds to Addr:Port and listens (stream) or starts receiving (datagram).
  virtual void Listen();
  // Takes an incoming connection; returns its handle (owned by the caller: pass it to another
  // component's Dup) or INVALID_SOCKET.
  virtual SOCKET Accept();
  // Receives into Buffer; returns the count, 0 at the end of the stream, -1 on failure (LastError
  // set; 10035 when nothing waits).
  virtual std::int32_t ReadData(void* Buffer, std::int32_t BufferSize);
  // Receives every byte waiting now.
  virtual std::string ReadText();
  virtual std::int32_t ReadDatagram(void* Buffer, std::int32_t BufferSize, SOCKADDR_IN& From,
                                    int& FromLen);
  // Copies Data into the send queue and starts sending; returns Len (0 for Len <= 0), or -1 when
  // not connected. OnDataSent follows from the message loop once the queue is drained, never from
  // inside Send.
  virtual std::int32_t Send(const void* Data, std::int32_t Len);
  // One direct send to Dest, bypassing the queue.
  virtual std::int32_t SendDatagram(const SOCKADDR_IN& Dest, int DestLen, const void* Data,
                                    std::int32_t Len);
  virtual std::int32_t SendText(const std::string& Str);
  // Asynchronous name lookup: OnDnsLookupDone reports the outcome, DnsResult and DnsResultList
  // hold the addresses. A dotted address is answered before the call returns. Starting another
  // lookup replaces the pending one without an event. The text is taken by value: it may be
  // DnsResult() itself, which the start clears.
  virtual void StartDnsLookup(std::string InName);
  // Asynchronous address-to-name lookup, reported like StartDnsLookup.
  virtual void StartReverseDnsLookup(std::string InAddr);
  // Cancels the pending lookup; OnDnsLookupDone fires with 10004.
  virtual void CancelLookup();

 protected:
  // "error" unless connected.
  virtual std::string PeerAddr();
  virtual std::string PeerPort();

 public:
  virtual std::int32_t GetPeerNameRaw(SOCKADDR_IN& Name, int NameLen);
  // The local port actually bound, or "error".
  virtual std::string GetBoundPort();
  virtual bool TimevalIsSet(const TIMEVAL& T);
  virtual void TimevalClear(TIMEVAL& T);
  virtual bool TimevalCompare(const TIMEVAL& A, const TIMEVAL& B, bool Equal);
  virtual std::int32_t GetSockNameRaw(SOCKADDR_IN& Name, int& NameLen);
  // Makes this component own and serve NewHandle (from another component's Accept).
  virtual void Dup(SOCKET NewHandle);
  virtual void ShutdownSession(std::int32_t How);
  // Stop and restart socket notifications; return the library's result (0 on success).
  virtual std::int32_t PauseEvents();
  virtual std::int32_t ResumeEvents();
  // Runs the messages waiting for this thread once: the application's when MultiThreaded is
  // false, this thread's own queue when it is true.
  virtual void RunPendingMessages();

  // Whether this component's own loop took a quit message (MultiThreaded only).
  bool QuitReceived() const { return Pump_.QuitReceived(); }
  // The loop this component's waits run; a component built on this one waits with it too.
  TMessagePump& MessagePump() { return Pump_; }

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

  // Reports the last socket error for FuncName: "Error <n> in function <FuncName>\r\n<text>".
  void ReportSocketError(const std::string& FuncName);
  void SetState(TSocketState NewState);
  void DeliverReceivedData(std::uint16_t Error);
  void HandleSelectMessage(const TMessage& Msg);
  void HandleHostByNameMessage(const TMessage& Msg);
  void HandleHostByAddrMessage(const TMessage& Msg);
  void ApplyLingerOption();
  void AppendToSendQueue(const void* Data, std::int32_t Len);
  void TryToSend();
  // What a failed system send means: a lost connection is closed and reported, a send that would
  // block waits for the write notice, anything else is reported.
  void SendFailed(int Code);
  // While nothing is queued, offers Data to a stream socket in pieces of at most SendBlockSize,
  // until the system takes less; returns the count taken. Failure: the error of a failed send.
  std::int32_t SendStraight(const char* Data, std::int32_t Len, int& Failure);
  void ClearSendQueue();
  static void AddHostAddresses(const HOSTENT& Entry, TStringList& List);

  HWND NotifyWindow() const { return NotifyWindow_.Handle(); }

 private:
  // The guarded setter shared by Addr, Port and Proto.
  void AssignAddressText(const std::string& Value, const char* Name, std::string& Text,
                         bool& Assigned, bool& Resolved);
  // Shared start of StartDnsLookup and StartReverseDnsLookup; false when the text is empty.
  bool PrepareLookup(const std::string& Text);
  // The lookup buffer, allocated on first use.
  char* LookupStorage();
  // Connect's and Listen's text-to-number conversions; raises what the conversions raise.
  void ResolveSessionTexts(bool WithLocalPort);
  // Closes Handle, retrying while the library answers "would block"; false after a report.
  bool CloseSocketHandle(SOCKET Handle);
  // Closes a stream whose send queue still holds bytes by handing them, with the handle, to the
  // library, which delivers them within FlushTimeout seconds and then ends the stream. False,
  // with the handle still open, when nothing is queued or the library cannot take it over.
  bool HandOverUnsentBytes(SOCKET Handle);
  // The bytes of the send queue not yet given to the system, in order.
  std::string UnsentBytes() const;

  // The last TryToSend stopped because the system would block; a write notice will follow.
  bool SendBlocked_ = false;
  // What the last system receive of the current delivery pass saw: a short one means the socket
  // was drained, so the pass needs no byte-count query.
  enum TPassRead : std::uint8_t { prNone, prFull, prShort };
  TPassRead PassRead_ = prNone;
};

}  // namespace vantrel
