#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "PosixIo.h"
#include "ScriptedPeer.h"

namespace vantrel::test {

using detail::NowMs;
using detail::WaitFd;

ScriptedPeer::ScriptedPeer(std::vector<ScriptStep> script) : ScriptedPeer(std::move(script), {}) {}

ScriptedPeer::ScriptedPeer(std::vector<ScriptStep> script, Options options)
    : ScriptPlayer(std::move(script), options.stepTimeoutMs), options_(options) {
  std::string error;
  listenFd_ = detail::OpenLoopbackSocket(SOCK_STREAM, 0, options_.receiveBuffer, &error);
  if (!listenFd_.Valid()) {
    Fail("cannot listen on 127.0.0.1: " + error);
    return;
  }
  port_ = detail::LocalPort(listenFd_.Get());
  Begin();
}

ScriptedPeer::~ScriptedPeer() {
  End();
}

std::string ScriptedPeer::Received() const {
  std::lock_guard lock(mutex_);
  return all_;
}

std::string ScriptedPeer::Received(int connection) const {
  std::lock_guard lock(mutex_);
  if (connection < 0 || connection >= static_cast<int>(received_.size())) return {};
  return received_[connection];
}

int ScriptedPeer::Connections() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(received_.size());
}

std::string ScriptedPeer::Context() const {
  std::lock_guard lock(mutex_);
  if (received_.empty()) return "; no connection was made";
  return "; received on connection " + std::to_string(received_.size() - 1) + ": \"" +
         PrintableBytes(received_.back()) + "\"";
}

std::string ScriptedPeer::Adopt(UniqueFd fd) {
  CloseConnection(false);
  conn_ = std::move(fd);
  pending_.clear();
  std::lock_guard lock(mutex_);
  received_.emplace_back();
  return {};
}

void ScriptedPeer::CloseConnection(bool reset) {
  if (!conn_.Valid()) return;
  if (reset) {
    linger l{1, 0};
    setsockopt(conn_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  conn_.Reset();
  pending_.clear();
}

ScriptedPeer::ReadResult ScriptedPeer::ReadSome(std::int64_t deadlineMs) {
  switch (WaitFd(conn_.Get(), POLLIN, deadlineMs, cancelFd_.Get())) {
    case detail::wrReady:
      break;
    case detail::wrTimeout:
      return rrTimeout;
    case detail::wrCancelled:
      return rrCancelled;
    case detail::wrError:
      lastErrno_ = errno;
      return rrError;
  }
  char buf[65536];
  ssize_t n;
  do {
    n = recv(conn_.Get(), buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    pending_.append(buf, static_cast<std::size_t>(n));
    std::lock_guard lock(mutex_);
    received_.back().append(buf, static_cast<std::size_t>(n));
    all_.append(buf, static_cast<std::size_t>(n));
    return rrData;
  }
  if (n == 0) return rrEnd;
  if (errno == EAGAIN) return rrData;  // spurious wake-up: nothing new, the caller loops
  lastErrno_ = errno;
  return errno == ECONNRESET ? rrReset : rrError;
}

std::string ScriptedPeer::ReadFailure(ReadResult r, const std::string& what) const {
  switch (r) {
    case rrEnd:
      return "the other side closed the connection " + what;
    case rrReset:
      return "the connection was reset " + what;
    case rrTimeout:
      return "timed out " + what;
    case rrCancelled:
      return "cancelled " + what;
    default:
      return "receive failed (" + detail::ErrnoText(lastErrno_) + ") " + what;
  }
}

std::string ScriptedPeer::SendAll(const std::string& bytes, std::int64_t deadlineMs) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(conn_.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      return "send failed after " + std::to_string(sent) + " of " + std::to_string(bytes.size()) +
             " bytes: " + detail::ErrnoText(errno);
    }
    auto r = WaitFd(conn_.Get(), POLLOUT, deadlineMs, cancelFd_.Get());
    if (r == detail::wrTimeout)
      return "timed out after sending " + std::to_string(sent) + " of " +
             std::to_string(bytes.size()) + " bytes";
    if (r != detail::wrReady) return "cancelled";
  }
  return {};
}

std::string ScriptedPeer::Play(const ScriptStep& s, std::int64_t deadlineMs) {
  bool needsConnection = s.kind != ScriptStep::skAccept && s.kind != ScriptStep::skConnect &&
                         s.kind != ScriptStep::skPause;
  if (needsConnection && !conn_.Valid()) return "no open connection (Accept or Connect first)";

  switch (s.kind) {
    case ScriptStep::skAccept: {
      auto r = WaitFd(listenFd_.Get(), POLLIN, deadlineMs, cancelFd_.Get());
      if (r == detail::wrTimeout) return "timed out waiting for a connection";
      if (r != detail::wrReady) return "cancelled";
      UniqueFd fd(accept4(listenFd_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (!fd.Valid()) return "accept failed: " + detail::ErrnoText(errno);
      return Adopt(std::move(fd));
    }
    case ScriptStep::skConnect: {
      UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      if (!fd.Valid()) return "socket failed: " + detail::ErrnoText(errno);
      if (options_.receiveBuffer > 0)
        setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer,
                   sizeof options_.receiveBuffer);
      sockaddr_in addr = detail::Loopback(s.port);
      if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
          errno != EINPROGRESS)
        return "connect failed: " + detail::ErrnoText(errno);
      auto r = WaitFd(fd.Get(), POLLOUT, deadlineMs, cancelFd_.Get());
      if (r == detail::wrTimeout) return "timed out connecting";
      if (r != detail::wrReady) return "cancelled";
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) return "connect failed: " + detail::ErrnoText(err);
      return Adopt(std::move(fd));
    }
    case ScriptStep::skExpect:
      while (pending_.size() < s.count) {
        ReadResult r = ReadSome(deadlineMs);
        if (r != rrData)
          return ReadFailure(r, "after " + std::to_string(pending_.size()) + " of " +
                                    std::to_string(s.count) + " bytes");
      }
      pending_.erase(0, s.count);
      return {};
    case ScriptStep::skExpectExactly:
      for (;;) {
        std::size_t have = std::min(pending_.size(), s.bytes.size());
        if (pending_.compare(0, have, s.bytes, 0, have) != 0) {
          return "expected \"" + PrintableBytes(s.bytes) + "\" but received \"" +
                 PrintableBytes(pending_.substr(0, s.bytes.size())) + "\"";
        }
        if (have == s.bytes.size()) break;
        ReadResult r = ReadSome(deadlineMs);
        if (r != rrData) return ReadFailure(r, "after \"" + PrintableBytes(pending_) + "\"");
      }
      pending_.erase(0, s.bytes.size());
      return {};
    case ScriptStep::skReadUntil:
      for (;;) {
        auto at = pending_.find(s.bytes);
        if (at != std::string::npos) {
          pending_.erase(0, at + s.bytes.size());
          return {};
        }
        ReadResult r = ReadSome(deadlineMs);
        if (r != rrData)
          return ReadFailure(r, "before the marker, after \"" + PrintableBytes(pending_) + "\"");
      }
    case ScriptStep::skSend:
      return SendAll(s.bytes, deadlineMs);
    case ScriptStep::skSendSlowly: {
      int one = 1;
      setsockopt(conn_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      for (char c : s.bytes) {
        std::string why = SendAll(std::string(1, c), deadlineMs);
        if (!why.empty()) return why;
        if (NowMs() >= deadlineMs) return "timed out (the pauses outlast the step's deadline)";
        if (!Sleep(s.ms)) return "cancelled";
      }
      return {};
    }
    case ScriptStep::skPause:
      return Sleep(s.ms) ? std::string() : "cancelled";
    case ScriptStep::skShutdownWrite:
      if (shutdown(conn_.Get(), SHUT_WR) != 0)
        return "shutdown failed: " + detail::ErrnoText(errno);
      return {};
    case ScriptStep::skClose:
      CloseConnection(false);
      return {};
    case ScriptStep::skReset:
      CloseConnection(true);
      return {};
    case ScriptStep::skStopReading:
      return Hold(NowMs() + s.ms) ? std::string() : "cancelled";
    case ScriptStep::skWaitForPeerClose:
      for (;;) {
        ReadResult r = ReadSome(deadlineMs);
        if (r == rrEnd || r == rrReset) return {};
        if (r != rrData) return ReadFailure(r, "waiting for the other side to close");
      }
    default:
      return "not a TCP step";
  }
}

}  // namespace vantrel::test
