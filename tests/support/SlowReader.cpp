#include "SlowReader.h"

#include <chrono>

namespace vantrel::test {

SlowReader::SlowReader(int PauseMs, int NapMicroseconds)
    : PauseMs_(PauseMs), NapUs_(NapMicroseconds) {
  Listener_ = detail::OpenLoopbackSocket(true, 0, 64 * 1024, &Error_);
  if (!Listener_.Valid()) return;
  Port_ = detail::LocalPort(Listener_.Get());
  Thread_ = std::thread([this] { Run(); });
}

SlowReader::~SlowReader() {
  Stop_ = true;
  if (Thread_.joinable()) Thread_.join();
}

bool SlowReader::Join(int TimeoutMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Finished_ && std::chrono::steady_clock::now() < Deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!Finished_) return false;
  Thread_.join();
  return true;
}

bool SlowReader::WaitReadable(detail::NativeSocket Socket, int Ms) {
  for (int Waited = 0; Waited < Ms && !Stop_; Waited += 50) {
    if (detail::WaitSocket(Socket, false, detail::NowMs() + 50) == detail::wrReady) return true;
  }
  return false;
}

void SlowReader::Run() {
  if (!WaitReadable(Listener_.Get(), 10000)) {
    Error_ = "nobody connected";
    Finished_ = true;
    return;
  }
  detail::OwnedSocket Conn = detail::AcceptConnection(Listener_.Get(), &Error_);
  if (!Conn.Valid()) {
    Finished_ = true;
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(PauseMs_));
  std::string Buffer(64 * 1024, '\0');
  while (!Stop_) {
    if (!WaitReadable(Conn.Get(), 30000)) {
      Error_ = "timed out after " + std::to_string(Total_) + " bytes";
      break;
    }
    const detail::IoResult R = detail::ReceiveSome(Conn.Get(), Buffer.data(), Buffer.size());
    if (R.status == detail::IoResult::ioEnd) {
      EndedCleanly_ = true;
      break;
    }
    if (R.status == detail::IoResult::ioWouldBlock) continue;
    if (R.status != detail::IoResult::ioDone) {
      WasReset_ = R.status == detail::IoResult::ioReset;
      if (!WasReset_) Error_ = "recv: " + detail::SocketErrorText(R.error);
      break;
    }
    for (std::size_t I = 0; I < R.bytes && PatternOk_; ++I) {
      PatternOk_ = Buffer[I] == static_cast<char>((Total_ + I) % 251);
    }
    Total_ += R.bytes;
    if (NapUs_ > 0) std::this_thread::sleep_for(std::chrono::microseconds(NapUs_));
  }
  Finished_ = true;
}

}  // namespace vantrel::test
