#include "PosixSockets.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "HostDatabase.h"
#include "WinSockErrors.h"
#include "WinSockState.h"

namespace vantrel {
namespace {

constexpr std::size_t kPointer = sizeof(char*);

std::uintptr_t AlignUp(std::uintptr_t v, std::size_t a) {
  return (v + a - 1) / a * a;
}

struct Layout {
  std::size_t aliases;    // offset of the alias pointer array
  std::size_t addrList;   // offset of the address pointer array
  std::size_t addresses;  // offset of the first address
  std::size_t strings;    // offset of the first string
  std::size_t end;
};

Layout LayOut(const HostRecord& r, std::uintptr_t base) {
  Layout l;
  l.aliases = AlignUp(base + sizeof(HOSTENT), alignof(char*)) - base;
  l.addrList = l.aliases + (r.aliases.size() + 1) * kPointer;
  l.addresses = l.addrList + (r.addresses.size() + 1) * kPointer;
  l.strings = l.addresses + r.addresses.size() * sizeof(std::uint32_t);
  l.end = l.strings + r.name.size() + 1;
  for (const auto& a : r.aliases) l.end += a.size() + 1;
  return l;
}

void PutPointer(char* out, std::size_t offset, std::uintptr_t value) {
  std::memcpy(out + offset, &value, kPointer);
}

bool IsIpv4Shaped(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789.") == std::string::npos;
}

bool IsIpv6Literal(const std::string& s) {
  in6_addr a;
  return ::inet_pton(AF_INET6, s.c_str(), &a) == 1;
}

// Per-thread results of the blocking database calls, valid until the thread's next call.
struct HostResult {
  std::unique_ptr<std::max_align_t[]> block;
};

struct ServiceResult {
  std::string name;
  std::string proto;
  std::vector<std::string> aliases;
  std::vector<char*> aliasPointers;
  SERVENT entry{};
};

struct ProtocolResult {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<char*> aliasPointers;
  PROTOENT entry{};
};

thread_local HostResult hostResult;
thread_local ServiceResult serviceResult;
thread_local ProtocolResult protocolResult;
// Every connect resolves "tcp" or "udp": the protocols database is read once per name and thread
// instead of on every call.
struct CachedProtocol {
  std::string name;
  std::vector<std::string> aliases;
  std::int16_t number;
};
thread_local std::unordered_map<std::string, CachedProtocol> protocolCache;
thread_local char ntoaResult[16];

char** KeepAliases(char** posixAliases, std::vector<std::string>& names,
                   std::vector<char*>& pointers) {
  names.clear();
  for (char** a = posixAliases; a != nullptr && *a != nullptr; ++a) names.emplace_back(*a);
  pointers.clear();
  for (auto& n : names) pointers.push_back(n.data());
  pointers.push_back(nullptr);
  return pointers.data();
}

bool CheckStarted() {
  if (WinSockStarted()) return true;
  SetWsaError(WSANOTINITIALISED);
  return false;
}

}  // namespace

int ResolveHostName(const std::string& name, HostRecord* out) {
  *out = HostRecord{};
  std::string host = name;
  if (host.empty()) {
    char local[256] = {};
    if (::gethostname(local, sizeof local - 1) != 0) return WsaErrorFromErrno(errno);
    host = local;
  }
  in_addr literal;
  if (::inet_aton(host.c_str(), &literal) != 0) {
    out->name = host;
    out->addresses.push_back(literal.s_addr);
    return 0;
  }
  // A malformed IPv4 literal or an IPv6 one names no IPv4 host; the resolver is not asked.
  if (IsIpv4Shaped(host) || IsIpv6Literal(host)) return WSANO_DATA;

  addrinfo hints{};
  hints.ai_family = posix::kAfInet;
  hints.ai_socktype = posix::kSockStream;  // one entry per address, not one per socket type
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  errno = 0;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  int savedErrno = errno;
  if (rc != 0) return WsaErrorFromResolver(rc, savedErrno);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, ::freeaddrinfo);
  out->name = list->ai_canonname != nullptr ? list->ai_canonname : host;
  for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
    if (p->ai_family != posix::kAfInet || p->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in a;
    std::memcpy(&a, p->ai_addr, sizeof a);
    bool seen = false;
    for (auto v : out->addresses) seen = seen || v == a.sin_addr.s_addr;
    if (!seen) out->addresses.push_back(a.sin_addr.s_addr);
  }
  if (out->addresses.empty()) return WSANO_DATA;
  // The name asked for is an alias when the resolver followed it to another canonical name.
  if (::strcasecmp(out->name.c_str(), host.c_str()) != 0) out->aliases.push_back(host);
  return 0;
}

int ResolveHostAddress(std::uint32_t address, HostRecord* out) {
  *out = HostRecord{};
  sockaddr_in a{};
  a.sin_family = posix::kAfInet;
  a.sin_addr.s_addr = address;
  char host[NI_MAXHOST] = {};
  errno = 0;
  int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host,
                         nullptr, 0, NI_NAMEREQD);
  int savedErrno = errno;
  if (rc != 0) return WsaErrorFromResolver(rc, savedErrno);
  out->name = host;
  out->addresses.push_back(address);
  return 0;
}

std::size_t HostEntSize(const HostRecord& record, std::uintptr_t base) {
  return LayOut(record, base).end;
}

void WriteHostEnt(const HostRecord& r, std::uintptr_t base, char* out) {
  Layout l = LayOut(r, base);
  std::memset(out, 0, l.end);
  std::size_t text = l.strings;
  auto putString = [&](const std::string& s) {
    std::memcpy(out + text, s.c_str(), s.size() + 1);
    std::uintptr_t at = base + text;
    text += s.size() + 1;
    return at;
  };
  HOSTENT h;
  h.h_name = reinterpret_cast<char*>(putString(r.name));
  h.h_aliases = reinterpret_cast<char**>(base + l.aliases);
  h.h_addrtype = AF_INET;
  h.h_length = sizeof(std::uint32_t);
  h.h_addr_list = reinterpret_cast<char**>(base + l.addrList);
  std::memcpy(out, &h, sizeof h);
  for (std::size_t i = 0; i < r.aliases.size(); ++i)
    PutPointer(out, l.aliases + i * kPointer, putString(r.aliases[i]));
  for (std::size_t i = 0; i < r.addresses.size(); ++i) {
    std::size_t at = l.addresses + i * sizeof(std::uint32_t);
    std::memcpy(out + at, &r.addresses[i], sizeof(std::uint32_t));
    PutPointer(out, l.addrList + i * kPointer, base + at);
  }
  // The terminating null pointers are already zero.
}

namespace wsock32 {

HOSTENT* gethostbyname(const char* name) {
  if (!CheckStarted()) return nullptr;
  if (name == nullptr) {
    SetWsaError(WSAEFAULT);
    return nullptr;
  }
  HostRecord r;
  int code = ResolveHostName(name, &r);
  if (code != 0) {
    SetWsaError(code);
    return nullptr;
  }
  // new[] of max_align_t gives a base aligned for any pointer, so the size does not depend on it.
  std::size_t size = HostEntSize(r, 0);
  auto& block = hostResult.block;
  block.reset(
      new std::max_align_t[(size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t)]);
  char* base = reinterpret_cast<char*>(block.get());
  WriteHostEnt(r, reinterpret_cast<std::uintptr_t>(base), base);
  return reinterpret_cast<HOSTENT*>(base);
}

SERVENT* getservbyname(const char* name, const char* proto) {
  if (!CheckStarted()) return nullptr;
  if (name == nullptr) {
    SetWsaError(WSAEFAULT);
    return nullptr;
  }
  servent se;
  servent* found = nullptr;
  char scratch[1024];
  if (::getservbyname_r(name, proto, &se, scratch, sizeof scratch, &found) != 0 ||
      found == nullptr) {
    SetWsaError(WSANO_DATA);
    return nullptr;
  }
  auto& r = serviceResult;
  r.name = se.s_name;
  r.proto = se.s_proto;
  r.entry.s_name = r.name.data();
  r.entry.s_aliases = KeepAliases(se.s_aliases, r.aliases, r.aliasPointers);
  r.entry.s_port = static_cast<std::int16_t>(se.s_port);  // already in network byte order
  r.entry.s_proto = r.proto.data();
  return &r.entry;
}

PROTOENT* getprotobyname(const char* name) {
  if (!CheckStarted()) return nullptr;
  if (name == nullptr) {
    SetWsaError(WSAEFAULT);
    return nullptr;
  }
  auto cached = protocolCache.find(name);
  if (cached == protocolCache.end()) {
    protoent pe;
    protoent* found = nullptr;
    char scratch[1024];
    if (::getprotobyname_r(name, &pe, scratch, sizeof scratch, &found) != 0 || found == nullptr) {
      SetWsaError(WSANO_DATA);
      return nullptr;
    }
    CachedProtocol entry{pe.p_name, {}, static_cast<std::int16_t>(pe.p_proto)};
    for (char** a = pe.p_aliases; a != nullptr && *a != nullptr; ++a)
      entry.aliases.emplace_back(*a);
    cached = protocolCache.emplace(name, std::move(entry)).first;
  }
  auto& r = protocolResult;
  r.name = cached->second.name;
  r.entry.p_name = r.name.data();
  r.aliases = cached->second.aliases;
  r.aliasPointers.clear();
  for (auto& a : r.aliases) r.aliasPointers.push_back(a.data());
  r.aliasPointers.push_back(nullptr);
  r.entry.p_aliases = r.aliasPointers.data();
  r.entry.p_proto = cached->second.number;
  return &r.entry;
}

u_long inet_addr(const char* cp) {
  if (!CheckStarted()) return INADDR_NONE;
  // inet_aton takes the same forms as Windows: a.b.c.d, a.b.c, a.b and a, each part decimal,
  // octal (leading 0) or hexadecimal (0x), ended by the string's end or white space.
  in_addr a;
  if (cp == nullptr || ::inet_aton(cp, &a) == 0) return INADDR_NONE;
  return a.s_addr;
}

char* inet_ntoa(IN_ADDR in) {
  if (!CheckStarted()) return nullptr;
  unsigned char b[4];
  std::memcpy(b, &in.S_addr, sizeof b);
  std::snprintf(ntoaResult, sizeof ntoaResult, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return ntoaResult;
}

}  // namespace wsock32
}  // namespace vantrel
