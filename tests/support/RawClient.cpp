#include "RawClient.h"

namespace vantrel::test {

using detail::IoResult;
using detail::NowMs;

RawClient::RawClient(std::uint16_t port, int timeoutMs) {
  socket_ = detail::ConnectLoopback(port, 0, NowMs() + timeoutMs, detail::kNoSocket, &error_);
  if (!socket_.Valid() && error_.rfind("connect", 0) != 0) error_ = "connect: " + error_;
}

bool RawClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  std::int64_t deadline = NowMs() + 5000;
  while (socket_.Valid() && sent < bytes.size()) {
    IoResult r = detail::SendSome(socket_.Get(), bytes.data() + sent, bytes.size() - sent);
    if (r.status == IoResult::ioDone) {
      sent += r.bytes;
    } else if (r.status == IoResult::ioWouldBlock) {
      if (detail::WaitSocket(socket_.Get(), true, deadline) != detail::wrReady) {
        error_ = "send: timed out";
        return false;
      }
    } else {
      error_ = "send: " + detail::SocketErrorText(r.error);
      return false;
    }
  }
  return socket_.Valid();
}

bool RawClient::Fill(std::int64_t deadlineMs) {
  if (!socket_.Valid() || ended_) return false;
  for (;;) {
    if (detail::WaitSocket(socket_.Get(), false, deadlineMs) != detail::wrReady) return false;
    char buf[65536];
    IoResult r = detail::ReceiveSome(socket_.Get(), buf, sizeof buf);
    if (r.status == IoResult::ioDone) {
      buffer_.append(buf, r.bytes);
      return true;
    }
    if (r.status == IoResult::ioWouldBlock) continue;
    ended_ = true;
    reset_ = r.status == IoResult::ioReset;
    if (r.status == IoResult::ioError) error_ = "recv: " + detail::SocketErrorText(r.error);
    return false;
  }
}

std::string RawClient::Take(std::size_t n) {
  std::string out = buffer_.substr(0, n);
  buffer_.erase(0, out.size());
  return out;
}

std::string RawClient::Read(std::size_t n, int timeoutMs) {
  std::int64_t deadline = NowMs() + timeoutMs;
  while (buffer_.size() < n && Fill(deadline)) {
  }
  return Take(n);
}

std::string RawClient::ReadUntil(const std::string& marker, int timeoutMs) {
  std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    auto at = buffer_.find(marker);
    if (at != std::string::npos) return Take(at + marker.size());
    if (!Fill(deadline)) return Take(buffer_.size());
  }
}

std::string RawClient::ReadToEnd(int timeoutMs) {
  std::int64_t deadline = NowMs() + timeoutMs;
  while (Fill(deadline)) {
  }
  return Take(buffer_.size());
}

void RawClient::ShutdownWrite() {
  if (socket_.Valid()) detail::ShutdownSending(socket_.Get());
}

void RawClient::Reset() {
  detail::CloseWithReset(socket_);
}

RawUdpSocket::RawUdpSocket() {
  socket_ = detail::OpenLoopbackSocket(false, 0, 0, nullptr);
  if (socket_.Valid()) port_ = detail::LocalPort(socket_.Get());
}

bool RawUdpSocket::SendTo(std::uint16_t port, const std::string& bytes) {
  IoResult r = detail::SendDatagram(socket_.Get(), port, bytes.data(), bytes.size());
  return r.status == IoResult::ioDone && r.bytes == bytes.size();
}

std::string RawUdpSocket::Receive(int timeoutMs, std::uint16_t* fromPort) {
  if (detail::WaitSocket(socket_.Get(), false, NowMs() + timeoutMs) != detail::wrReady) return {};
  char buf[65536];
  IoResult r = detail::ReceiveDatagram(socket_.Get(), buf, sizeof buf, fromPort);
  if (r.status != IoResult::ioDone) return {};
  return std::string(buf, r.bytes);
}

}  // namespace vantrel::test
