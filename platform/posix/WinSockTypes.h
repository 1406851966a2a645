// This is a public header file.
// Windows Sockets 1.1 data types (plain records: value-initialise them, e.g. SOCKADDR_IN a{}). Safe
// to include together with POSIX headers: no name here is a POSIX macro.
#pragma once

#include <cstdint>

namespace vantrel {

using SOCKET = std::uint32_t;
constexpr SOCKET INVALID_SOCKET = 0xFFFFFFFFu;
constexpr int SOCKET_ERROR = -1;
using u_short = std::uint16_t;
using u_long = std::uint32_t;

struct IN_ADDR {
  std::uint32_t S_addr;  // network byte order
};

// The 16-byte IPv4 socket address record.
struct SOCKADDR_IN {
  std::int16_t sin_family;
  std::uint16_t sin_port;  // network byte order
  IN_ADDR sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);

struct SOCKADDR {
  std::uint16_t sa_family;
  char sa_data[14];
};
static_assert(sizeof(SOCKADDR) == 16);

struct HOSTENT {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;
};

struct SERVENT {
  char* s_name;
  char** s_aliases;
  std::int16_t s_port;  // network byte order
  char* s_proto;
};

struct PROTOENT {
  char* p_name;
  char** p_aliases;
  std::int16_t p_proto;
};

// The Windows linger record: two 16-bit fields.
struct LINGER {
  u_short l_onoff;
  u_short l_linger;
};

struct TIMEVAL {
  std::int32_t tv_sec;
  std::int32_t tv_usec;
};

struct WSADATA {
  std::uint16_t wVersion;
  std::uint16_t wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};

constexpr int MAXGETHOSTSTRUCT = 1024;

}  // namespace vantrel
