// This is a public header file: the socket component. Include this header only.
//
// TWSocket is the socket users create: an event-driven, non-blocking TCP or UDP socket, client or
// server. Construct it with an owner (which destroys it) or hold it in a std::unique_ptr. All of
// its members must be called on the thread that created it, and its events run on that thread
// from the message loop (see CustomWSocket.h).
#pragma once

#include "CustomWSocket.h"
#include "LineWSocket.h"
#include "SocksWSocket.h"
#include "SslWSocket.h"
#include "SyncWSocket.h"
#include "WSockbuf.h"

namespace vantrel {

// The SOCKS, TLS, line-mode and synchronous-waiting layers slot in between TCustomWSocket and this
// class; it adds nothing but the publication of the properties.
class TWSocket : public TCustomSyncWSocket {
 public:
  using TCustomSyncWSocket::TCustomSyncWSocket;

  using TCustomWSocket::Addr;
  using TCustomWSocket::DnsResult;
  using TCustomWSocket::DnsResultList;
  using TCustomWSocket::FlushTimeout;
  using TCustomWSocket::LastError;
  using TCustomWSocket::LingerOnOff;
  using TCustomWSocket::LingerTimeout;
  using TCustomWSocket::ListenBacklog;
  using TCustomWSocket::LocalPort;
  using TCustomWSocket::MultiThreaded;
  using TCustomWSocket::PeerAddr;
  using TCustomWSocket::PeerPort;
  using TCustomWSocket::Port;
  using TCustomWSocket::Proto;
  using TCustomWSocket::RcvdCount;
  using TCustomWSocket::ReadCount;
  using TCustomWSocket::SendBlockSize;
  using TCustomWSocket::SendFlags;
  using TCustomWSocket::SetAddr;
  using TCustomWSocket::SetFlushTimeout;
  using TCustomWSocket::SetLingerOnOff;
  using TCustomWSocket::SetLingerTimeout;
  using TCustomWSocket::SetListenBacklog;
  using TCustomWSocket::SetLocalPort;
  using TCustomWSocket::SetMultiThreaded;
  using TCustomWSocket::SetPort;
  using TCustomWSocket::SetProto;
  using TCustomWSocket::SetSendBlockSize;
  using TCustomWSocket::SetSendFlags;
  using TCustomWSocket::State;

  using TCustomSocksWSocket::SetSocksAuthentication;
  using TCustomSocksWSocket::SetSocksLevel;
  using TCustomSocksWSocket::SetSocksPassword;
  using TCustomSocksWSocket::SetSocksPort;
  using TCustomSocksWSocket::SetSocksServer;
  using TCustomSocksWSocket::SetSocksUsercode;
  using TCustomSocksWSocket::SocksAuthentication;
  using TCustomSocksWSocket::SocksLevel;
  using TCustomSocksWSocket::SocksPassword;
  using TCustomSocksWSocket::SocksPort;
  using TCustomSocksWSocket::SocksServer;
  using TCustomSocksWSocket::SocksUsercode;

  using TCustomSslWSocket::SetSslCAFile;
  using TCustomSslWSocket::SetSslCertFile;
  using TCustomSslWSocket::SetSslEnable;
  using TCustomSslWSocket::SetSslKeyFile;
  using TCustomSslWSocket::SetSslServerName;
  using TCustomSslWSocket::SetSslVerifyPeer;
  using TCustomSslWSocket::SslCAFile;
  using TCustomSslWSocket::SslCertFile;
  using TCustomSslWSocket::SslCipher;
  using TCustomSslWSocket::SslCloseNotified;
  using TCustomSslWSocket::SslEnable;
  using TCustomSslWSocket::SslErrorText;
  using TCustomSslWSocket::SslKeyFile;
  using TCustomSslWSocket::SslServerName;
  using TCustomSslWSocket::SslSessionReused;
  using TCustomSslWSocket::SslVerifyPeer;
  using TCustomSslWSocket::SslVersion;

  using TCustomLineWSocket::LineEcho;
  using TCustomLineWSocket::LineEdit;
  using TCustomLineWSocket::LineEnd;
  using TCustomLineWSocket::LineLimit;
  using TCustomLineWSocket::LineMode;
  using TCustomLineWSocket::SetLineEcho;
  using TCustomLineWSocket::SetLineEdit;
  using TCustomLineWSocket::SetLineEnd;
  using TCustomLineWSocket::SetLineLimit;
  using TCustomLineWSocket::SetLineMode;
};

}  // namespace vantrel
