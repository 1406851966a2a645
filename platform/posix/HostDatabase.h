// This is an internal header of the socket layer.
// Host, service and protocol databases: the system resolver behind gethostbyname and the
// asynchronous lookups, and the layout of a HOSTENT with everything it points to in one block
// (the blocking calls themselves are declared in WinSock.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

// A host entry before it is laid out as a HOSTENT.
struct HostRecord {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<std::uint32_t> addresses;  // IPv4, network byte order
};

// Resolves a host name with the system resolver, IPv4 only. An IPv4 literal yields itself, an
// empty name the local host. Returns 0 or a Windows Sockets code (11001-11004 and others).
// Blocks; any thread.
int ResolveHostName(const std::string& name, HostRecord* out);

// Resolves an IPv4 address (network byte order) to its host name; a name is required.
// Blocks; any thread.
int ResolveHostAddress(std::uint32_t address, HostRecord* out);

// The bytes a HOSTENT for `record` and everything it points to take when laid out at address
// `base`: the structure first, the pointer arrays aligned for pointers, then the addresses and
// the strings. Pure function.
std::size_t HostEntSize(const HostRecord& record, std::uintptr_t base);

// Writes that layout into `out` (HostEntSize bytes). Every pointer in it holds base + offset,
// so the bytes are a valid HOSTENT once copied to `base`. Nothing is written at `base` itself.
void WriteHostEnt(const HostRecord& record, std::uintptr_t base, char* out);

}  // namespace vantrel
