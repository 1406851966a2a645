#include "ScriptedPeer.h"
#include "SocketIo.h"

namespace vantrel::test {

ScriptedUdpPeer::ScriptedUdpPeer(std::vector<ScriptStep> script, int stepTimeoutMs)
    : ScriptPlayer(std::move(script), stepTimeoutMs) {
  std::string error;
  socket_ = detail::OpenLoopbackSocket(false, 0, 0, &error);
  if (!socket_.Valid()) {
    Fail("cannot bind to 127.0.0.1: " + error);
    return;
  }
  port_ = detail::LocalPort(socket_.Get());
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
    auto r = detail::WaitSocket(socket_.Get(), false, deadlineMs, cancel_.Handle());
    if (r == detail::wrTimeout) return "timed out waiting for a datagram";
    if (r != detail::wrReady) return "cancelled";
    char buf[65536];
    detail::IoResult io = detail::ReceiveDatagram(socket_.Get(), buf, sizeof buf, &replyPort_);
    if (io.status == detail::IoResult::ioWouldBlock) continue;
    if (io.status != detail::IoResult::ioDone)
      return "recvfrom failed: " + detail::SocketErrorText(io.error);
    out.assign(buf, io.bytes);
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
      detail::IoResult io =
          detail::SendDatagram(socket_.Get(), port, s.bytes.data(), s.bytes.size());
      if (io.status != detail::IoResult::ioDone || io.bytes != s.bytes.size())
        return "sendto failed: " + detail::SocketErrorText(io.error);
      return {};
    }
    case ScriptStep::skPause:
      return Sleep(s.ms) ? std::string() : "cancelled";
    default:
      return "not a UDP step";
  }
}

}  // namespace vantrel::test
