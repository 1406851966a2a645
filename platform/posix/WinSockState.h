// This is an internal header of the socket layer.
// The process-wide socket table: handles that increase and are never reused, each mapped to one
// descriptor and the emulation state of that socket; the start-up count; the per-thread last
// error. Handles are never reused, so a message still queued for a closed socket names no live
// socket and is recognised as stale.
//
// Thread rules: the table, the start-up count and the last error are safe from any thread. The
// state of one socket belongs to the thread that uses it (with WSAAsyncSelect, the thread that
// owns the window), as Windows sockets driven by window messages are used; only `closed` is
// read across threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "ThreadQueue.h"
#include "UniqueFd.h"
#include "WinSockTypes.h"
#include "WinTypes.h"

namespace vantrel {

// Where a socket stands, as far as the emulated events are concerned.
enum TSocketPhase : std::uint8_t {
  spIdle,        // created or bound; a stream socket is not watched yet
  spConnecting,  // a stream connect is under way
  spConnected,   // a connected stream, or any datagram socket
  spListening,
  spFailed,  // a stream connect that failed
};

struct SocketEntry : std::enable_shared_from_this<SocketEntry> {
  SocketEntry(SOCKET h, UniqueFd descriptor, int socketType)
      : handle(h), fd(std::move(descriptor)), type(socketType) {}

  bool IsStream() const { return type == 1; }

  const SOCKET handle;
  UniqueFd fd;
  const int type;  // 1 stream, 2 datagram (the same numbers on both systems)
  TSocketPhase phase = spIdle;
  bool bound = false;
  bool blocking = false;  // emulated with poll(); the descriptor itself stays non-blocking
  std::atomic<bool> closed{false};

  // SO_LINGER as the application set it. Only {1, 0} ever reaches the descriptor, at close.
  bool lingerOn = false;
  std::uint16_t lingerSeconds = 0;
  std::int64_t lingerDeadlineMs = 0;  // set by the first close that had to wait
  bool oobInline = false;             // SO_OOBINLINE: urgent data is read in line, no FD_OOB
  // SO_SNDBUF/SO_RCVBUF as set (Linux reports twice the value).
  int sndBuf = 0;
  int rcvBuf = 0;

  // WSAAsyncSelect registration.
  HWND window = nullptr;
  UINT message = 0;
  long mask = 0;

  // epoll watch on the queue of the window's thread.
  std::shared_ptr<ThreadQueue> queue;
  bool watched = false;
  std::uint32_t interest = 0;

  // Re-enabling state: an event is posted only while armed.
  bool readArmed = false;
  bool writeArmed = false;
  bool acceptArmed = false;
  bool oobArmed = false;
  bool readRecheck = false;  // after end of stream: look at the read side on the next turn
  // A stream's write and accept interest stays on epoll after its event is posted, so that the
  // common post-then-call cycle costs no epoll_ctl; only when epoll reports the condition again
  // before the re-enabling call is the interest dropped (muted) until that call. Read interest
  // is dropped at once: kept, it made every segment of a stream that arrives while the bytes
  // before it are handled wake the epoll, which cost a download a tenth of its rate.
  bool writeMuted = false;
  bool acceptMuted = false;

  bool connectStarted = false;
  bool connectPosted = false;
  bool closePosted = false;
  bool eofSeen = false;
  bool hupSeen = false;
  bool shutWr = false;
  bool shutRd = false;

  int connectErrno = 0;   // an outcome connect() gave at once, reported on the next turn
  int connectError = 0;   // code of a failed connect, until SO_ERROR reads it
  int stickyError = 0;    // code after a reset or failure of a connection
  int datagramError = 0;  // code of an ICMP error, returned by the next receive
};

class SocketTable {
 public:
  static SocketTable& Instance();

  // Takes the descriptor, gives it the next handle.
  std::shared_ptr<SocketEntry> Add(UniqueFd fd, int type);
  std::shared_ptr<SocketEntry> Find(SOCKET s) const;
  // Removes the socket from the table; null if it is not there.
  std::shared_ptr<SocketEntry> Remove(SOCKET s);
  std::vector<std::shared_ptr<SocketEntry>> RemoveAll();
  int Count() const;

 private:
  SocketTable() = default;
  mutable std::mutex mutex_;
  std::unordered_map<SOCKET, std::shared_ptr<SocketEntry>> sockets_;
  SOCKET next_ = 0x100;
};

// Start-up count of WSAStartup/WSACleanup.
bool WinSockStarted();
int WinSockAddStart();     // returns the new count
int WinSockRemoveStart();  // returns the new count, -1 when it was 0

// The per-thread last error of the socket layer.
void SetWsaError(int code);
int WsaError();

// Milliseconds of the monotonic clock.
std::int64_t MonotonicMs();

}  // namespace vantrel
