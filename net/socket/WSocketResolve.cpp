// Conversion of host, port and protocol texts into numbers.
#include <cstring>

#include "CustomWSocket.h"
#include "TextUtils.h"
#include "WinSock.h"

namespace vantrel {
namespace {

bool StartsWithDigit(const std::string& Text) {
  return !Text.empty() && Text[0] >= '0' && Text[0] <= '9';
}

}  // namespace

std::int32_t DecimalPrefixValue(const std::string& Text) {
  std::size_t I = 0;
  while (I < Text.size() && Text[I] == ' ') ++I;
  // Wraps like the 32-bit accumulator it stands for: there is no overflow check.
  std::uint32_t Value = 0;
  for (; I < Text.size() && Text[I] >= '0' && Text[I] <= '9'; ++I) {
    Value = Value * 10u + static_cast<std::uint32_t>(Text[I] - '0');
  }
  return static_cast<std::int32_t>(Value);
}

std::uint32_t WSocketResolveHost(const std::string& InHost) {
  if (InHost.empty() || InHost.size() > 256) {
    throw ESocketException("WSocketResolveHost: '" + InHost + "' Invalid Hostname.");
  }
  const std::string Host = Trim(InHost);
  if (StartsWithDigit(Host)) {
    const u_long Address = SocketApi_inet_addr(Host.c_str());
    if (Address != INADDR_NONE) return Address;
    // inet_addr cannot tell the broadcast address from a failure.
    if (Host == "255.255.255.255") return INADDR_BROADCAST;
    throw ESocketException("WSocketResolveHost: '" + InHost + "' Invalid IP address.");
  }
  const HOSTENT* Entry = SocketApi_gethostbyname(Host.c_str());
  if (Entry == nullptr || Entry->h_addr_list == nullptr || Entry->h_addr_list[0] == nullptr) {
    throw ESocketException(
        Format("WSocketResolveHost: Cannot convert host address '%s'", InHost.c_str()));
  }
  IN_ADDR Address;
  std::memcpy(&Address.S_addr, Entry->h_addr_list[0], sizeof Address.S_addr);
  return Address.S_addr;
}

std::uint16_t WSocketResolvePort(const std::string& InPort, const std::string& InProto) {
  if (InPort.empty() || InPort.size() >= 32) {
    throw ESocketException("WSocketResolvePort: Invalid Port.");
  }
  if (StartsWithDigit(InPort)) return static_cast<std::uint16_t>(DecimalPrefixValue(InPort));
  const std::string Port = Trim(InPort);
  const std::string Proto = Trim(InProto);
  const SERVENT* Entry =
      SocketApi_getservbyname(Port.c_str(), Proto.empty() ? nullptr : Proto.c_str());
  if (Entry == nullptr) {
    throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s'", InPort.c_str()));
  }
  return SocketApi_ntohs(static_cast<u_short>(Entry->s_port));
}

std::int32_t WSocketResolveProto(const std::string& InProto) {
  if (InProto.empty() || InProto.size() >= 32) {
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  }
  const std::string Proto = Trim(InProto);
  if (StartsWithDigit(Proto)) return DecimalPrefixValue(Proto);
  const PROTOENT* Entry = SocketApi_getprotobyname(Proto.c_str());
  if (Entry == nullptr) {
    throw ESocketException(
        Format("WSocketResolveProto: Cannot convert protocol '%s'", Proto.c_str()));
  }
  return Entry->p_proto;
}

}  // namespace vantrel
