#include <sys/socket.h>

#include <cerrno>

#include "PosixIo.h"
#include "ScriptedPeer.h"

namespace vantrel::test {

ScriptedUdpPeer::ScriptedUdpPeer(std::vector<ScriptStep> script, int stepTimeoutMs)
    : ScriptPlayer(std::move(script), stepTimeoutMs) {
  std::string error;
  fd_ = detail::OpenLoopbackSocket(SOCK_DGRAM, 0, 0, &error);
  if (!fd_.Valid()) {
    Fail("cannot bind to 127.0.0.1: " + error);
    return;
  }
  port_ = detail::LocalPort(fd_.Get());
  Begin();
}

ScriptedUdpPeer::~ScriptedUdpPeer() {
  End();
}

std::vector<std::string> ScriptedUdpPeer::Datagrams() const {
  std::lock_guard lock(mutex_);
  return datagrams_;
}

std::string ScriptedUdpPeer::Receive(std::int64_t deadlineMs, std::string& out) {
  for (;;) {
    auto r = detail::WaitFd(fd_.Get(), POLLIN, deadlineMs, cancelFd_.Get());
    if (r == detail::wrTimeout) return "timed out waiting for a datagram";
    if (r != detail::wrReady) return "cancelled";
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd_.Get(), buf, sizeof buf, MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) return "recvfrom failed: " + detail::ErrnoText(errno);
    out.assign(buf, static_cast<std::size_t>(n));
    replyPort_ = ntohs(from.sin_port);
    std::lock_guard lock(mutex_);
    datagrams_.push_back(out);
    return {};
  }
}

std::string ScriptedUdpPeer::Play(const ScriptStep& s, std::int64_t deadlineMs) {
  std::string got;
  switch (s.kind) {
    case ScriptStep::skReceiveDatagram:
      return Receive(deadlineMs, got);
    case ScriptStep::skExpectDatagram: {
      std::string why = Receive(deadlineMs, got);
      if (!why.empty() || got == s.bytes) return why;
      return "expected \"" + PrintableBytes(s.bytes) + "\" but received \"" + PrintableBytes(got) +
             "\"";
    }
    case ScriptStep::skSendDatagram:
    case ScriptStep::skSendDatagramTo: {
      std::uint16_t port = s.kind == ScriptStep::skSendDatagramTo ? s.port : replyPort_;
      if (port == 0) return "no datagram received yet, so no one to reply to";
      sockaddr_in to = detail::Loopback(port);
      ssize_t n = sendto(fd_.Get(), s.bytes.data(), s.bytes.size(), 0,
                         reinterpret_cast<sockaddr*>(&to), sizeof to);
      if (n != static_cast<ssize_t>(s.bytes.size()))
        return "sendto failed: " + detail::ErrnoText(errno);
      return {};
    }
    case ScriptStep::skPause:
      return Sleep(s.ms) ? std::string() : "cancelled";
    default:
      return "not a UDP step";
  }
}

}  // namespace vantrel::test
