// This is an internal header of the test support library.
// The few socket operations the scripted peers, raw clients and slow readers use, on 127.0.0.1
// only, with one implementation per system (posix/, windows/). No system header here: test files
// include WinSock.h, whose names clash with both systems' socket headers.
//
// Thread rule: any thread; one socket is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel::test::detail {

// Milliseconds of the monotonic clock.
std::int64_t NowMs();

// A POSIX descriptor or a Windows SOCKET, widened to one integer type.
using NativeSocket = std::intptr_t;
constexpr NativeSocket kNoSocket = -1;

// Closes a socket the way its system wants.
void CloseSocket(NativeSocket s);

// The one owner of a test socket: closes it when destroyed or reset; moves, never copies.
class OwnedSocket {
 public:
  OwnedSocket() = default;
  explicit OwnedSocket(NativeSocket s) : s_(s) {}
  OwnedSocket(OwnedSocket&& other) noexcept : s_(other.Release()) {}
  OwnedSocket& operator=(OwnedSocket&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;
  ~OwnedSocket() { Reset(); }

  NativeSocket Get() const { return s_; }
  bool Valid() const { return s_ != kNoSocket; }
  NativeSocket Release() {
    NativeSocket s = s_;
    s_ = kNoSocket;
    return s;
  }
  void Reset(NativeSocket s = kNoSocket) {
    if (s_ != kNoSocket && s_ != s) CloseSocket(s_);
    s_ = s;
  }

 private:
  NativeSocket s_ = kNoSocket;
};

// The text of a system error code (errno, or a Windows Sockets code).
std::string SocketErrorText(int error);

// A socket bound to 127.0.0.1:port (0 = any free port), listening when it is a TCP socket,
// non-blocking. receiveBuffer > 0 sets SO_RCVBUF first (accepted sockets inherit it). Invalid on
// failure, with the reason in *error.
OwnedSocket OpenLoopbackSocket(bool stream, std::uint16_t port, int receiveBuffer,
                               std::string* error);
// The local port of a bound socket, 0 on failure.
std::uint16_t LocalPort(NativeSocket s);

enum WaitResult : std::uint8_t { wrReady, wrTimeout, wrCancelled, wrError };
// Waits until s is readable (or writable), the deadline (NowMs() time) passes, or cancel (when
// not kNoSocket) becomes readable. Errors and hang-ups count as ready: the next call reports
// them. One wait per call, restarted when interrupted; never spins.
WaitResult WaitSocket(NativeSocket s, bool writable, std::int64_t deadlineMs,
                      NativeSocket cancel = kNoSocket);

// Takes a waiting connection (non-blocking); invalid with *error on failure.
OwnedSocket AcceptConnection(NativeSocket listener, std::string* error);
// Connects a new non-blocking TCP socket to 127.0.0.1:port, waiting until the deadline or a
// cancel. On failure it is invalid and *error says "timed out connecting", "cancelled" or
// "connect failed: <reason>".
OwnedSocket ConnectLoopback(std::uint16_t port, int receiveBuffer, std::int64_t deadlineMs,
                            NativeSocket cancel, std::string* error);

// The outcome of one transfer call.
struct IoResult {
  enum Status : std::uint8_t { ioDone, ioWouldBlock, ioEnd, ioReset, ioError };
  Status status = ioError;
  std::size_t bytes = 0;  // ioDone: how many
  int error = 0;          // ioReset, ioError: the system's code
};
// One send / receive call on a connected non-blocking socket (no signal on a broken pipe).
IoResult SendSome(NativeSocket s, const char* data, std::size_t size);
IoResult ReceiveSome(NativeSocket s, char* buffer, std::size_t size);
// One datagram to 127.0.0.1:port; one datagram received (*fromPort gets the sender's port).
IoResult SendDatagram(NativeSocket s, std::uint16_t port, const char* data, std::size_t size);
IoResult ReceiveDatagram(NativeSocket s, char* buffer, std::size_t size, std::uint16_t* fromPort);

// Shuts down the sending side; "" or the reason it failed.
std::string ShutdownSending(NativeSocket s);
// Turns off the delaying of small segments (Nagle).
void SetNoDelay(NativeSocket s);
// Closes with SO_LINGER {1, 0}: the other side sees a reset.
void CloseWithReset(OwnedSocket& s);

// A flag another thread raises and a socket wait can watch (its Handle() becomes readable once
// raised, until Lower()).
class WakeSignal {
 public:
  WakeSignal();
  bool Valid() const { return handle_.Valid(); }
  NativeSocket Handle() const { return handle_.Get(); }
  void Raise();
  void Lower();

 private:
  OwnedSocket handle_;
};

}  // namespace vantrel::test::detail
