#include <algorithm>

#include "ScriptedPeer.h"
#include "SocketIo.h"

namespace vantrel::test {

using detail::IoResult;
using detail::NowMs;
using detail::OwnedSocket;
using detail::WaitSocket;

ScriptedPeer::ScriptedPeer(std::vector<ScriptStep> script) : ScriptedPeer(std::move(script), {}) {}

ScriptedPeer::ScriptedPeer(std::vector<ScriptStep> script, Options options)
    : ScriptPlayer(std::move(script), options.stepTimeoutMs), options_(options) {
  std::string error;
  listener_ = detail::OpenLoopbackSocket(true, 0, options_.receiveBuffer, &error);
  if (!listener_.Valid()) {
    Fail("cannot listen on 127.0.0.1: " + error);
    return;
  }
  port_ = detail::LocalPort(listener_.Get());
  Begin();
}

ScriptedPeer::~ScriptedPeer() {
  End();
}

std::string ScriptedPeer::Received() const {
  Lock lock(mutex_);
  return all_;
}

std::string ScriptedPeer::Received(int connection) const {
  Lock lock(mutex_);
  if (connection < 0 || connection >= static_cast<int>(received_.size())) return {};
  return received_[connection];
}

int ScriptedPeer::Connections() const {
  Lock lock(mutex_);
  return static_cast<int>(received_.size());
}

std::string ScriptedPeer::Context() const {
  Lock lock(mutex_);
  if (received_.empty()) return "; no connection was made";
  return "; received on connection " + std::to_string(received_.size() - 1) + ": \"" +
         PrintableBytes(received_.back()) + "\"";
}

std::string ScriptedPeer::Adopt(OwnedSocket s) {
  CloseConnection(false);
  conn_ = std::move(s);
  pending_.clear();
  Lock lock(mutex_);
  received_.emplace_back();
  return {};
}

void ScriptedPeer::CloseConnection(bool reset) {
  if (reset) {
    detail::CloseWithReset(conn_);
  } else {
    conn_.Reset();
  }
  pending_.clear();
}

ScriptedPeer::ReadResult ScriptedPeer::ReadSome(std::int64_t deadlineMs) {
  switch (WaitSocket(conn_.Get(), false, deadlineMs, cancel_.Handle())) {
    case detail::wrReady:
      break;
    case detail::wrTimeout:
      return rrTimeout;
    case detail::wrCancelled:
      return rrCancelled;
    case detail::wrError:
      lastError_ = 0;
      return rrError;
  }
  char buf[65536];
  IoResult r = detail::ReceiveSome(conn_.Get(), buf, sizeof buf);
  switch (r.status) {
    case IoResult::ioDone: {
      pending_.append(buf, r.bytes);
      Lock lock(mutex_);
      received_.back().append(buf, r.bytes);
      all_.append(buf, r.bytes);
      return rrData;
    }
    case IoResult::ioEnd:
      return rrEnd;
    case IoResult::ioWouldBlock:
      return rrData;  // spurious wake-up: nothing new, the caller loops
    case IoResult::ioReset:
      lastError_ = r.error;
      return rrReset;
    default:
      lastError_ = r.error;
      return rrError;
  }
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
      return "receive failed (" + detail::SocketErrorText(lastError_) + ") " + what;
  }
}

std::string ScriptedPeer::SendAll(const std::string& bytes, std::int64_t deadlineMs) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    IoResult io = detail::SendSome(conn_.Get(), bytes.data() + sent, bytes.size() - sent);
    if (io.status == IoResult::ioDone) {
      sent += io.bytes;
      continue;
    }
    if (io.status != IoResult::ioWouldBlock) {
      return "send failed after " + std::to_string(sent) + " of " + std::to_string(bytes.size()) +
             " bytes: " + detail::SocketErrorText(io.error);
    }
    auto r = WaitSocket(conn_.Get(), true, deadlineMs, cancel_.Handle());
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
      auto r = WaitSocket(listener_.Get(), false, deadlineMs, cancel_.Handle());
      if (r == detail::wrTimeout) return "timed out waiting for a connection";
      if (r != detail::wrReady) return "cancelled";
      std::string error;
      OwnedSocket s = detail::AcceptConnection(listener_.Get(), &error);
      if (!s.Valid()) return error;
      return Adopt(std::move(s));
    }
    case ScriptStep::skConnect: {
      std::string error;
      OwnedSocket connection = detail::ConnectLoopback(s.port, options_.receiveBuffer, deadlineMs,
                                                       cancel_.Handle(), &error);
      if (!connection.Valid()) return error;
      return Adopt(std::move(connection));
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
      detail::SetNoDelay(conn_.Get());
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
      return detail::ShutdownSending(conn_.Get());
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
