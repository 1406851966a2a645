// This is an internal header of the test support library.
// A TCP peer on its own thread that reads slowly (a small receive buffer, a pause first, a nap
// after every read), checks every byte against the repeating pattern 0..250, and notes how the
// stream ended: the other end of tests about bytes still on their way at a close.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "SocketIo.h"

namespace vantrel::test {

class SlowReader {
 public:
  // Listens on a free port of 127.0.0.1; takes one connection and waits PauseMs before reading.
  SlowReader(int PauseMs, int NapMicroseconds);
  ~SlowReader();
  SlowReader(const SlowReader&) = delete;
  SlowReader& operator=(const SlowReader&) = delete;

  std::uint16_t Port() const { return Port_; }
  std::size_t Total() const { return Total_; }
  // Waits for the end of the stream; then the results below are final.
  bool Join(int TimeoutMs);
  bool Finished() const { return Finished_; }
  bool EndedCleanly() const { return EndedCleanly_; }
  bool WasReset() const { return WasReset_; }
  bool PatternOk() const { return PatternOk_; }
  const std::string& Error() const { return Error_; }

 private:
  bool WaitReadable(detail::NativeSocket Socket, int Ms);
  void Run();

  int PauseMs_;
  int NapUs_;
  detail::OwnedSocket Listener_;
  std::uint16_t Port_ = 0;
  std::thread Thread_;
  std::atomic<bool> Stop_{false};
  std::atomic<bool> Finished_{false};
  std::atomic<std::size_t> Total_{0};
  bool EndedCleanly_ = false;
  bool WasReset_ = false;
  bool PatternOk_ = true;
  std::string Error_;
};

}  // namespace vantrel::test
