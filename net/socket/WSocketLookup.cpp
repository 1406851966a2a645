// The address, port and protocol properties, asynchronous host lookups, and the queries for the
// peer's and the local address.
#include <cstring>

#include "CustomWSocket.h"
#include "TextUtils.h"
#include "WSocketInternal.h"
#include "WinSock.h"

namespace vantrel {
namespace {

SOCKADDR* AsSockAddr(SOCKADDR_IN& Addr) {
  return reinterpret_cast<SOCKADDR*>(&Addr);
}

}  // namespace

// The equality shortcut compares the value as given with the stored (trimmed) text, so that an
// owner may assign the same text again while the socket is open.
void TCustomWSocket::SetAddr(const std::string& Value) {
  AssignAddressText(Value, "Addr", AddrText_, AddrAssigned_, AddrResolved_);
}

void TCustomWSocket::SetPort(const std::string& Value) {
  AssignAddressText(Value, "Port", PortText_, PortAssigned_, PortResolved_);
}

void TCustomWSocket::SetProto(const std::string& Value) {
  AssignAddressText(Value, "Proto", ProtoText_, ProtoAssigned_, ProtoResolved_);
}

void TCustomWSocket::AssignAddressText(const std::string& Value, const char* Name,
                                       std::string& Text, bool& Assigned, bool& Resolved) {
  if (Assigned && Value == Text) return;
  if (State_ != wsClosed) {
    RaiseSocketException(std::string("Cannot change ") + Name + " if not closed");
    return;
  }
  Text = Trim(Value);
  if (Text.empty()) {
    Assigned = false;
  } else {
    Resolved = false;
    Assigned = true;
  }
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
  if (State_ != wsClosed) {
    RaiseSocketException("Cannot change LocalPort if not closed");
    return;
  }
  LocalPort_ = Value;
  LocalPortResolved_ = false;
}

// The start shared by both lookups: an empty text is refused (OnDnsLookupDone with 10022 when
// OnError took the report), a pending lookup is replaced silently, the results are cleared.
bool TCustomWSocket::PrepareLookup(const std::string& Text) {
  if (Text.empty()) {
    RaiseSocketException("DNS lookup: invalid host name.");
    FireDnsLookupDone(WSAEINVAL);
    return false;
  }
  if (LookupHandle_ != 0) {
    SocketApi_WSACancelAsyncRequest(LookupHandle_);
    LookupHandle_ = 0;
  }
  DnsResult_.clear();
  DnsResultList_.Clear();
  return true;
}

void TCustomWSocket::StartDnsLookup(std::string InName) {
  if (!PrepareLookup(InName)) return;

  const u_long Address = SocketApi_inet_addr(InName.c_str());
  if (Address != INADDR_NONE) {
    IN_ADDR In;
    In.S_addr = Address;
    DnsResult_ = SocketApi_inet_ntoa(In);
    FireDnsLookupDone(0);
    return;
  }
  LookupHandle_ = SocketApi_WSAAsyncGetHostByName(NotifyWindow(), MsgHostByNameDone, InName.c_str(),
                                                  LookupStorage(), LookupBufferSize);
  if (LookupHandle_ == 0) {
    RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d",
                            {InName, std::int64_t{SocketApi_WSAGetLastError()}});
  }
}

void TCustomWSocket::StartReverseDnsLookup(std::string InAddr) {
  if (!PrepareLookup(InAddr)) return;

  // Not validated further: a text that is no address asks for 255.255.255.255.
  const u_long Address = SocketApi_inet_addr(InAddr.c_str());
  LookupHandle_ = SocketApi_WSAAsyncGetHostByAddr(
      NotifyWindow(), MsgHostByAddrDone, reinterpret_cast<const char*>(&Address), sizeof Address,
      AF_INET, LookupStorage(), LookupBufferSize);
  if (LookupHandle_ == 0) {
    RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d",
                            {InAddr, std::int64_t{SocketApi_WSAGetLastError()}});
  }
}

char* TCustomWSocket::LookupStorage() {
  if (!LookupBuffer_) LookupBuffer_ = std::make_unique<char[]>(LookupBufferSize);
  return LookupBuffer_.get();
}

void TCustomWSocket::CancelLookup() {
  if (LookupHandle_ == 0) return;
  const int Result = SocketApi_WSACancelAsyncRequest(LookupHandle_);
  LookupHandle_ = 0;
  if (Result != 0) {
    ReportSocketError("WSACancelAsyncRequest");
    return;
  }
  if (!Destroying()) FireDnsLookupDone(WSAEINTR);
}

void TCustomWSocket::AddHostAddresses(const HOSTENT& Entry, TStringList& List) {
  if (Entry.h_addr_list == nullptr) return;
  for (char** Item = Entry.h_addr_list; *Item != nullptr; ++Item) {
    IN_ADDR In;
    std::memcpy(&In.S_addr, *Item, sizeof In.S_addr);
    List.Add(SocketApi_inet_ntoa(In));
  }
}

void TCustomWSocket::HandleHostByNameMessage(const TMessage& Msg) {
  // A reply to a request that was replaced or cancelled.
  if (LookupHandle_ == 0 || static_cast<TAsyncHandle>(Msg.WParam) != LookupHandle_) return;
  LookupHandle_ = 0;
  const WORD Error = WSAGetAsyncError(Msg.LParam);
  if (Error == 0) {
    HOSTENT Entry;
    std::memcpy(&Entry, LookupBuffer_.get(), sizeof Entry);
    AddHostAddresses(Entry, DnsResultList_);
    if (DnsResultList_.Count() > 0) DnsResult_ = DnsResultList_[0];
  }
  FireDnsLookupDone(Error);
}

void TCustomWSocket::HandleHostByAddrMessage(const TMessage& Msg) {
  if (LookupHandle_ == 0 || static_cast<TAsyncHandle>(Msg.WParam) != LookupHandle_) return;
  LookupHandle_ = 0;
  const WORD Error = WSAGetAsyncError(Msg.LParam);
  if (Error == 0) {
    HOSTENT Entry;
    std::memcpy(&Entry, LookupBuffer_.get(), sizeof Entry);
    DnsResult_ = Entry.h_name != nullptr ? Entry.h_name : "";
    DnsResultList_.Clear();
    DnsResultList_.Add(DnsResult_);
  }
  FireDnsLookupDone(Error);
}

std::string TCustomWSocket::PeerAddr() {
  if (State_ != wsConnected) return "error";
  SOCKADDR_IN Peer{};
  int Len = sizeof Peer;
  if (SocketApi_getpeername(SocketHandle_, AsSockAddr(Peer), &Len) == SOCKET_ERROR) {
    ReportSocketError("GetPeerName");
    return "error";
  }
  return SocketApi_inet_ntoa(Peer.sin_addr);
}

std::string TCustomWSocket::PeerPort() {
  if (State_ != wsConnected) return "error";
  SOCKADDR_IN Peer{};
  int Len = sizeof Peer;
  if (SocketApi_getpeername(SocketHandle_, AsSockAddr(Peer), &Len) == SOCKET_ERROR) {
    ReportSocketError("GetPeerPort");
    return "error";
  }
  return std::to_string(SocketApi_ntohs(Peer.sin_port));
}

std::int32_t TCustomWSocket::GetPeerNameRaw(SOCKADDR_IN& Name, int NameLen) {
  if (State_ != wsConnected) return -1;
  return SocketApi_getpeername(SocketHandle_, AsSockAddr(Name), &NameLen);
}

std::string TCustomWSocket::GetBoundPort() {
  if (State_ != wsBound && State_ != wsConnected && State_ != wsListening) return "error";
  SOCKADDR_IN Local{};
  int Len = sizeof Local;
  if (SocketApi_getsockname(SocketHandle_, AsSockAddr(Local), &Len) == SOCKET_ERROR) {
    return "error";
  }
  return std::to_string(SocketApi_ntohs(Local.sin_port));
}

std::int32_t TCustomWSocket::GetSockNameRaw(SOCKADDR_IN& Name, int& NameLen) {
  return SocketApi_getsockname(SocketHandle_, AsSockAddr(Name), &NameLen);
}

}  // namespace vantrel
