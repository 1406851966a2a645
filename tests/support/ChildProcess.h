// This is an internal header of the test support library.
// A child process owned by a test: started with fork/exec, stopped on destruction.
//
// Thread rule: one thread uses an object at a time. The child is asked to die (SIGKILL) when the
// thread that started it ends, so a crashed or timed-out test leaves no server behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::test {

class ChildProcess {
 public:
  // Runs argv[0] (looked up in PATH when it has no '/') with the arguments. Standard output and
  // error go to logFile (appended) when given, else to /dev/null; standard input is /dev/null.
  // The child gets its own process group, so that Stop() reaches the helpers a server forks.
  explicit ChildProcess(std::vector<std::string> argv, std::string logFile = {});
  // Stops the child (see Stop()).
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // True when the program was executed; otherwise Error() says why.
  bool Started() const { return pid_ > 0; }
  const std::string& Error() const { return error_; }
  pid_t Pid() const { return pid_; }
  const std::string& LogFile() const { return logFile_; }

  // True while the child has not exited (reaps it, and ends what is left of its group, when it
  // has).
  bool IsRunning();
  // Waits until 127.0.0.1:port accepts a TCP connection, the child exits, or timeoutMs passes.
  // Polls every 10 ms.
  bool WaitForPort(std::uint16_t port, int timeoutMs);
  // Waits up to timeoutMs for the child to exit by itself; true when it has.
  bool WaitForExit(int timeoutMs);
  // SIGTERM to the child's group, up to graceMs for it to exit, then SIGKILL; always reaps.
  void Stop(int graceMs = 2000);
  // The wait status once the child has been reaped (see waitpid), -1 before.
  int Status() const { return status_; }
  // The exit code when the child exited normally, -1 otherwise.
  int ExitCode() const;

 private:
  bool Exited();  // the child has ended (not yet reaped)
  void Finish();  // kills what is left of the group and reaps the child

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string error_;
  std::string logFile_;
};

}  // namespace vantrel::test
