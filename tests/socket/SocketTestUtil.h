// This is an internal header of the socket component tests.
// A fixture that checks nothing is left open, event recorders, a probe subclass that reaches the
// component's protected members, and small helpers shared by the test files. No POSIX socket
// header here: tests may include WinSock.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "LeakCheck.h"
#include "Pump.h"
#include "WSocket.h"
#include "WinMessages.h"

namespace vantrel::test {

inline const char* StateName(TSocketState State) {
  static const char* const Names[] = {"wsInvalidState", "wsOpened",    "wsBound",
                                      "wsConnecting",   "wsConnected", "wsAccepting",
                                      "wsListening",    "wsClosed"};
  return State <= wsClosed ? Names[State] : "?";
}

// Every test ends with no component, descriptor or window left and the library unloaded.
class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PumpFor(0);  // this thread's queue (and its descriptors) exists before the count
    // Windows first: the first window count may open handles that last as long as the process.
    windows_ = LiveWindowCount();
    fds_ = OpenDescriptorCount();
  }
  void TearDown() override {
    // A skipped test opened nothing; reporting the skip may open handles of its own (Windows).
    if (IsSkipped()) return;
    EXPECT_EQ(SocketComponentCount(), 0);
    EXPECT_EQ(SocketApiHandle(), nullptr) << "the last component did not unload the library";
    // Descriptors of closed sockets may be released on the next loop turn, and a cancelled
    // lookup still running on the pool may hold one for a moment: a leak is one that stays.
    int Open = 0;
    PumpUntil(
        [&] {
          Open = OpenDescriptorCount();
          return Open <= fds_;
        },
        2000);
    EXPECT_EQ(Open, fds_) << "descriptors left open";
    EXPECT_EQ(LiveWindowCount(), windows_) << "windows left open";
  }

 private:
  int fds_ = 0;
  int windows_ = 0;
};

// Records the events of a socket as short texts, in order. OnDataAvailable is left alone: setting
// it changes what the socket does with received bytes. Destroying the log detaches it, so a socket
// that outlives it (destroyed later in the same scope) fires into nothing.
struct EventLog {
  explicit EventLog(TWSocket& Socket) : Socket_(&Socket) {
    Socket.OnChangeState = [this](TObject*, TSocketState Old, TSocketState New) {
      Add(std::string("ChangeState(") + StateName(Old) + "," + StateName(New) + ")");
    };
    Socket.OnSessionConnected = [this](TObject*, std::uint16_t E) { Add("SessionConnected", E); };
    Socket.OnSessionClosed = [this, &Socket](TObject*, std::uint16_t E) {
      StateAtClose = Socket.State();
      Add("SessionClosed", E);
    };
    Socket.OnSessionAvailable = [this](TObject*, std::uint16_t E) { Add("SessionAvailable", E); };
    Socket.OnDataSent = [this](TObject*, std::uint16_t E) { Add("DataSent", E); };
    Socket.OnDnsLookupDone = [this](TObject*, std::uint16_t E) { Add("DnsLookupDone", E); };
  }
  ~EventLog() {
    if (Socket_ == nullptr) return;
    Socket_->OnChangeState = nullptr;
    Socket_->OnSessionConnected = nullptr;
    Socket_->OnSessionClosed = nullptr;
    Socket_->OnSessionAvailable = nullptr;
    Socket_->OnDataSent = nullptr;
    Socket_->OnDnsLookupDone = nullptr;
  }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;
  // The socket is gone (destroyed by its owner): nothing to detach.
  void Forget() { Socket_ = nullptr; }

  void Add(const std::string& Name, int Error) { Add(Name + "(" + std::to_string(Error) + ")"); }
  void Add(const std::string& Text) { Events.push_back(Text); }
  bool Has(const std::string& Text) const {
    for (const auto& E : Events) {
      if (E == Text) return true;
    }
    return false;
  }
  int Count(const std::string& Text) const {
    int N = 0;
    for (const auto& E : Events) N += E == Text ? 1 : 0;
    return N;
  }
  std::string Joined() const {
    std::string Out;
    for (const auto& E : Events) Out += E + " ";
    return Out;
  }
  std::vector<std::string> Events;
  TSocketState StateAtClose = wsInvalidState;  // State() when OnSessionClosed last fired

 private:
  TWSocket* Socket_;
};

// Reaches protected members and records the raw receives and sends.
class TProbeSocket : public TWSocket {
 public:
  using TWSocket::TWSocket;

  SOCKET Handle() const { return SocketHandle_; }
  HWND Window() const { return NotifyWindow(); }
  // The send queue's blocks, oldest first.
  std::vector<const TBuffer*> Queue() const {
    std::vector<const TBuffer*> Blocks;
    for (const auto& Block : SendQueue_) Blocks.push_back(Block.get());
    return Blocks;
  }
  bool IsAllSent() const { return AllSent_; }
  const SOCKADDR_IN& Address() const { return SockAddr_; }
  void Report(const std::string& FuncName) { ReportSocketError(FuncName); }
  void ChangeState(TSocketState NewState) { SetState(NewState); }
  std::int32_t SendDirect(const void* Data, std::int32_t Len) { return SendRaw(Data, Len); }

  std::vector<std::int32_t> RecvAsked;  // Len of every raw receive
  std::vector<std::int32_t> RecvGot;    // and its result
  std::vector<std::int32_t> SendAsked;
  std::vector<std::int32_t> SendGot;
  int PumpRounds = 0;  // calls of RunPendingMessages: a wait that spins makes thousands

  void RunPendingMessages() override {
    ++PumpRounds;
    TWSocket::RunPendingMessages();
  }

 protected:
  std::int32_t RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) override {
    const std::int32_t Got = TWSocket::RecvRaw(Buffer, Len, Flags);
    RecvAsked.push_back(Len);
    RecvGot.push_back(Got);
    return Got;
  }
  std::int32_t SendRaw(const void* Data, std::int32_t Len) override {
    const std::int32_t Got = TWSocket::SendRaw(Data, Len);
    SendAsked.push_back(Len);
    SendGot.push_back(Got);
    return Got;
  }
};

// Points a socket at 127.0.0.1:Port over Proto.
inline void Aim(TWSocket& Socket, std::uint16_t Port, const std::string& Proto = "tcp") {
  Socket.SetAddr("127.0.0.1");
  Socket.SetPort(std::to_string(Port));
  Socket.SetProto(Proto);
}

// Points a socket at Addr:Port through the SOCKS server on 127.0.0.1:SocksPort. Set again before
// every connection: a close clears the SOCKS settings.
inline void AimThroughSocks(TWSocket& Socket, std::uint16_t SocksPort, const std::string& Level,
                            const std::string& Addr, const std::string& Port) {
  Socket.SetSocksServer("127.0.0.1");
  Socket.SetSocksPort(std::to_string(SocksPort));
  Socket.SetSocksLevel(Level);
  Socket.SetAddr(Addr);
  Socket.SetPort(Port);
}
inline void AimThroughSocks(TWSocket& Socket, std::uint16_t SocksPort, const std::string& Level,
                            const std::string& Addr, std::uint16_t Port) {
  AimThroughSocks(Socket, SocksPort, Level, Addr, std::to_string(Port));
}

// The message of the ESocketException that Action raises, or "(nothing raised)".
inline std::string RaisedText(const std::function<void()>& Action) {
  try {
    Action();
  } catch (const ESocketException& E) {
    return E.Message();
  }
  return "(nothing raised)";
}

inline const char* AuthName(TSocksAuthState State) {
  switch (State) {
    case socksAuthBegun:
      return "Begun";
    case socksAuthGranted:
      return "Granted";
    case socksAuthDenied:
      return "Denied";
    case socksAuthWaived:
      return "Waived";
  }
  return "?";
}

// Records the SOCKS and session events of a socket in order and counts the connects and closes.
// OnDataAvailable is left to the user (ReadAll collects the bytes into Data). Destroying the log
// detaches it, so a socket that outlives it (a failed assertion leaves it open) fires into nothing.
struct SocksEventLog {
  explicit SocksEventLog(TWSocket& S) : Socket(S) {
    S.OnSocksConnected = [this](TObject*, std::uint16_t E) { Add("SocksConnected", E); };
    S.OnSocksError = [this](TObject*, std::int32_t E, const std::string& Msg) {
      Events.push_back("SocksError(" + std::to_string(E) + "," + Msg + ")");
    };
    S.OnSocksAuthState = [this](TObject*, TSocksAuthState A) {
      Events.push_back(std::string("Auth(") + AuthName(A) + ")");
    };
    S.OnSessionConnected = [this](TObject*, std::uint16_t E) {
      Add("SessionConnected", E);
      ++Connected;
    };
    S.OnSessionClosed = [this](TObject*, std::uint16_t E) {
      Add("SessionClosed", E);
      ++Closed;
    };
  }
  ~SocksEventLog() {
    Socket.OnSocksConnected = nullptr;
    Socket.OnSocksError = nullptr;
    Socket.OnSocksAuthState = nullptr;
    Socket.OnSessionConnected = nullptr;
    Socket.OnSessionClosed = nullptr;
    Socket.OnDataAvailable = nullptr;
  }
  SocksEventLog(const SocksEventLog&) = delete;
  SocksEventLog& operator=(const SocksEventLog&) = delete;

  void Add(const std::string& Name, int Error) {
    Events.push_back(Name + "(" + std::to_string(Error) + ")");
  }
  std::string Joined() const {
    std::string Out;
    for (const auto& E : Events) Out += E + " ";
    return Out;
  }
  // Reads what the socket holds now into Data.
  void ReadAll() {
    char Buffer[512];
    const std::int32_t Got = Socket.ReadData(Buffer, sizeof Buffer);
    if (Got > 0) Data.append(Buffer, static_cast<std::size_t>(Got));
  }

  TWSocket& Socket;
  std::vector<std::string> Events;
  std::string Data;
  int Connected = 0;
  int Closed = 0;
};

// Bytes 0..250 repeating, offset by Start, so that a misplaced byte shows.
inline std::string Pattern(std::size_t Size, std::size_t Start = 0) {
  std::string Bytes(Size, '\0');
  for (std::size_t I = 0; I < Size; ++I) Bytes[I] = static_cast<char>((Start + I) % 251);
  return Bytes;
}

}  // namespace vantrel::test
