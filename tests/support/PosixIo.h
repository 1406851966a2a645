// This is an internal header of the test support library, for its .cpp files only: it includes
// the POSIX socket headers, which cannot be combined with WinSock.h.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <cstdint>
#include <string>

#include "UniqueFd.h"

namespace vantrel::test::detail {

// Milliseconds of the monotonic clock.
std::int64_t NowMs();

// The 127.0.0.1 address record for a port.
sockaddr_in Loopback(std::uint16_t port);

// A socket bound to 127.0.0.1:port (0 = any free port), listening when it is a TCP socket.
// Invalid on failure, with the reason in *error.
UniqueFd OpenLoopbackSocket(int type, std::uint16_t port, int receiveBuffer, std::string* error);
// The local port of a bound socket, 0 on failure.
std::uint16_t LocalPort(int fd);

enum WaitResult : std::uint8_t { wrReady, wrTimeout, wrCancelled, wrError };
// Waits until fd has one of the poll events, the deadline (NowMs() time) passes, or cancelFd
// (when >= 0) becomes readable. Never spins: one poll() per call, restarted on EINTR.
WaitResult WaitFd(int fd, short events, std::int64_t deadlineMs, int cancelFd);

// The text of an errno value.
std::string ErrnoText(int err);

}  // namespace vantrel::test::detail
