// This is an internal header of the socket layer.
// Linux errno values and resolver results turned into Windows Sockets error codes. Linux numbers
// differ from the BSD ones the Windows codes are built on (ECONNRESET is 104 here, 54 in BSD),
// so the mapping goes by name, in one table.
#pragma once

namespace vantrel {

// The Windows Sockets code for a Linux errno value. EINPROGRESS maps to the would-block code
// (a non-blocking connect under way); an errno with no Windows counterpart maps to the
// invalid-argument code. Pure function; any thread.
int WsaErrorFromErrno(int err);

// The code for a getaddrinfo/getnameinfo result (0 for success). savedErrno is errno as it was
// right after the call, used for EAI_SYSTEM. Pure function; any thread.
int WsaErrorFromResolver(int result, int savedErrno);

// The error an FD_CLOSE carries for a connection that ended with errno err: the reset code for a
// reset, the network-down code, and the aborted code for every other failure. Pure function.
int WsaCloseErrorFromErrno(int err);

}  // namespace vantrel
