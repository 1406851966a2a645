#include <chrono>
#include <cstdio>

#include "ScriptedPeer.h"

namespace vantrel::test {

namespace step {
namespace {
ScriptStep Make(ScriptStep::Kind kind, std::string bytes = {}, std::size_t count = 0, int ms = 0,
                std::uint16_t port = 0) {
  ScriptStep s;
  s.kind = kind;
  s.bytes = std::move(bytes);
  s.count = count;
  s.ms = ms;
  s.port = port;
  return s;
}
}  // namespace

ScriptStep Accept() {
  return Make(ScriptStep::skAccept);
}
ScriptStep Connect(std::uint16_t port) {
  return Make(ScriptStep::skConnect, {}, 0, 0, port);
}
ScriptStep Expect(std::size_t n) {
  return Make(ScriptStep::skExpect, {}, n);
}
ScriptStep ExpectExactly(std::string bytes) {
  return Make(ScriptStep::skExpectExactly, std::move(bytes));
}
ScriptStep ReadUntil(std::string marker) {
  return Make(ScriptStep::skReadUntil, std::move(marker));
}
ScriptStep Send(std::string bytes) {
  return Make(ScriptStep::skSend, std::move(bytes));
}
ScriptStep SendSlowly(std::string bytes, int pauseMs) {
  return Make(ScriptStep::skSendSlowly, std::move(bytes), 0, pauseMs);
}
ScriptStep Pause(int ms) {
  return Make(ScriptStep::skPause, {}, 0, ms);
}
ScriptStep ShutdownWrite() {
  return Make(ScriptStep::skShutdownWrite);
}
ScriptStep Close() {
  return Make(ScriptStep::skClose);
}
ScriptStep Reset() {
  return Make(ScriptStep::skReset);
}
ScriptStep StopReading(int holdMs) {
  return Make(ScriptStep::skStopReading, {}, 0, holdMs);
}
ScriptStep WaitForPeerClose() {
  return Make(ScriptStep::skWaitForPeerClose);
}
ScriptStep ReceiveDatagram() {
  return Make(ScriptStep::skReceiveDatagram);
}
ScriptStep ExpectDatagram(std::string bytes) {
  return Make(ScriptStep::skExpectDatagram, std::move(bytes));
}
ScriptStep SendDatagram(std::string bytes) {
  return Make(ScriptStep::skSendDatagram, std::move(bytes));
}
ScriptStep SendDatagramTo(std::uint16_t port, std::string bytes) {
  return Make(ScriptStep::skSendDatagramTo, std::move(bytes), 0, 0, port);
}
}  // namespace step

std::string PrintableBytes(const std::string& bytes, std::size_t max) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        }
    }
  }
  if (bytes.size() > max) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

std::string ScriptStep::Describe() const {
  auto quoted = [&] { return "(\"" + PrintableBytes(bytes, 60) + "\")"; };
  switch (kind) {
    case skAccept:
      return "Accept";
    case skConnect:
      return "Connect(" + std::to_string(port) + ")";
    case skExpect:
      return "Expect(" + std::to_string(count) + ")";
    case skExpectExactly:
      return "ExpectExactly" + quoted();
    case skReadUntil:
      return "ReadUntil" + quoted();
    case skSend:
      return "Send" + quoted();
    case skSendSlowly:
      return "SendSlowly" + quoted();
    case skPause:
      return "Pause(" + std::to_string(ms) + ")";
    case skShutdownWrite:
      return "ShutdownWrite";
    case skClose:
      return "Close";
    case skReset:
      return "Reset";
    case skStopReading:
      return "StopReading(" + std::to_string(ms) + ")";
    case skWaitForPeerClose:
      return "WaitForPeerClose";
    case skReceiveDatagram:
      return "ReceiveDatagram";
    case skExpectDatagram:
      return "ExpectDatagram" + quoted();
    case skSendDatagram:
      return "SendDatagram" + quoted();
    case skSendDatagramTo:
      return "SendDatagramTo(" + std::to_string(port) + ")" + quoted();
  }
  return "?";
}

ScriptPlayer::ScriptPlayer(std::vector<ScriptStep> script, int stepTimeoutMs)
    : script_(std::move(script)), stepTimeoutMs_(stepTimeoutMs) {
  if (!cancel_.Valid() || !release_.Valid()) Fail("cannot make the wake-up signals");
}

ScriptPlayer::~ScriptPlayer() {
  End();
}

void ScriptPlayer::Fail(const std::string& error) {
  Lock lock(mutex_);
  if (error_.empty()) error_ = error;
  done_ = true;
}

void ScriptPlayer::Begin() {
  {
    Lock lock(mutex_);
    if (done_) return;
  }
  thread_ = std::thread([this] { Run(); });
}

void ScriptPlayer::End() {
  if (cancel_.Valid()) cancel_.Raise();
  if (thread_.joinable()) thread_.join();
}

void ScriptPlayer::Run() {
  for (std::size_t i = 0; i < script_.size(); ++i) {
    {
      Lock lock(mutex_);
      current_ = i;
    }
    const ScriptStep& s = script_[i];
    int timeout = s.timeoutMs >= 0 ? s.timeoutMs : stepTimeoutMs_;
    std::string why = Play(s, detail::NowMs() + timeout);
    if (!why.empty()) {
      std::string context = Context();
      Lock lock(mutex_);
      error_ = "step " + std::to_string(i + 1) + " of " + std::to_string(script_.size()) + " (" +
               s.Describe() + "): " + why + context;
      done_ = true;
      doneCv_.notify_all();
      return;
    }
  }
  Lock lock(mutex_);
  current_ = script_.size();
  done_ = true;
  doneCv_.notify_all();
}

bool ScriptPlayer::Join(int timeoutMs) {
  Lock lock(mutex_);
  return doneCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done_; });
}

bool ScriptPlayer::Done() const {
  Lock lock(mutex_);
  return done_;
}

bool ScriptPlayer::Succeeded() const {
  Lock lock(mutex_);
  return done_ && error_.empty();
}

std::string ScriptPlayer::Error() const {
  Lock lock(mutex_);
  return error_;
}

std::size_t ScriptPlayer::CurrentStep() const {
  Lock lock(mutex_);
  return current_;
}

void ScriptPlayer::Release() {
  release_.Raise();
}

bool ScriptPlayer::Sleep(int ms) {
  return detail::WaitSocket(cancel_.Handle(), false, detail::NowMs() + ms) == detail::wrTimeout;
}

bool ScriptPlayer::Hold(std::int64_t deadlineMs) {
  detail::WaitResult r = detail::WaitSocket(release_.Handle(), false, deadlineMs, cancel_.Handle());
  if (r == detail::wrReady) release_.Lower();
  return r != detail::wrCancelled;
}

}  // namespace vantrel::test
