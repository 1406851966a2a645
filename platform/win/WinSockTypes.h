// This is a public header file.
// Windows Sockets 1.1 data types: the system's own (winsock.h), also reachable as vantrel::X.
#pragma once

#include "WinTypes.h"
// After windows.h, as winsock.h wants it.
#include <winsock.h>

// The components name an address's value IN_ADDR::S_addr, the field of the Linux record; here it
// is the member of the system's union. (winsock.h's own s_addr cannot be used after this.)
#define S_addr S_un.S_addr

namespace vantrel {

using ::HOSTENT;
using ::IN_ADDR;
using ::LINGER;
using ::PROTOENT;
using ::SERVENT;
using ::SOCKADDR;
using ::SOCKADDR_IN;
using ::SOCKET;
using ::TIMEVAL;
using ::u_long;
using ::u_short;
using ::WSADATA;

}  // namespace vantrel
