// THttpCli over TLS: the https default port, the control socket's TLS settings, and the CONNECT
// tunnel through an HTTP proxy that TLS then runs in.

#include "HttpParse.h"
#include "HttpProt.h"
#include "TextUtils.h"
#include "WSocket.h"

namespace vantrel {

void THttpCli::UpdateTunnelTarget() {
  tunnelOpen_ = false;
  if (proxy_.empty()) return;
  // Through a proxy the target is the absolute URL: its scheme decides.
  std::string scheme, user, pass, host, port, path;
  SplitUrl(requestTarget_, scheme, user, pass, host, port, path);
  secure_ = IsHttpsScheme(scheme);
  tunnelHost_ = host;
  tunnelPort_ = port.empty() ? DefaultPortFor(scheme) : port;
  tunnelPath_ = path.empty() ? std::string("/") : path;
}

void THttpCli::PrepareControlTls() {
  TWSocket& socket = *ctrlSocket_;
  // Through a proxy TLS starts inside the tunnel, once the proxy has opened it.
  socket.SetSslEnable(secure_ && proxy_.empty());
  socket.SetSslServerName(TunnelNeeded() ? tunnelHost_ : hostName_);
  socket.SetSslVerifyPeer(sslVerifyPeer_);
  socket.SetSslCAFile(sslCAFile_);
  socket.SetSslCertFile(sslCertFile_);
  socket.SetSslKeyFile(sslKeyFile_);
}

void THttpCli::SendConnectRequest() {
  sessionOpen_ = true;
  receiveLength_ = 0;
  tunnelStatus_ = 0;
  tunnelText_.clear();
  lineHandler_ = &THttpCli::ProcessTunnelLine;
  ChangeRequestState(hsAwaitingHeader);
  const std::string authority = tunnelHost_ + ":" + tunnelPort_;
  std::string request = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n";
  if (!proxyUsername_.empty())
    request += "Proxy-Authorization: Basic " + EncodeBase64(proxyUsername_ + ":" + proxyPassword_) +
               "\r\n";
  request += "\r\n";
  ctrlSocket_->SendText(request);
}

void THttpCli::ProcessTunnelLine() {
  const std::string line = currentLine_;
  if (tunnelStatus_ == 0) {
    // "HTTP/1.x nnn text"
    tunnelStatus_ = line.size() >= 12 && line.compare(0, 5, "HTTP/") == 0
                        ? std::atoi(line.substr(9, 3).c_str())
                        : -1;
    tunnelText_ = line.size() > 13 ? line.substr(13) : std::string();
    if (tunnelStatus_ > 0) return;
  } else if (!line.empty()) {
    return;  // the proxy's own header fields
  }
  if (tunnelStatus_ / 100 != 2) {
    // The proxy refused: its status ends the request.
    responseCode_ = tunnelStatus_ > 0 ? tunnelStatus_ : 502;
    responseText_ = tunnelStatus_ > 0 ? tunnelText_ : "bad answer to CONNECT: " + line;
    if (responseCode_ < 400)
      Fail(httpErrBadResponse, "HTTP response could not be processed: CONNECT answered " +
                                   IntToStr(responseCode_) + " " + responseText_);
    ctrlSocket_->CloseSession();
    return;
  }
  // The tunnel is open: TLS to the origin runs inside it, and its OnSessionConnected sends the
  // request.
  tunnelOpen_ = true;
  lineHandler_ = nullptr;
  ChangeRequestState(hsConnecting);
  ctrlSocket_->StartTls();
}

}  // namespace vantrel
