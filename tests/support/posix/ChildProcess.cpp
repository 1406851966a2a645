#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "SocketIo.h"
#include "UniqueFd.h"

namespace vantrel::test {
namespace {

// Between fork and exec only async-signal-safe calls: everything is prepared before the fork.
[[noreturn]] void RunChild(char* const* argv, int logFd, int devNull, int errorPipe,
                           pid_t parentPid) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parentPid) _exit(127);  // the parent died before prctl took effect
  dup2(devNull, 0);
  dup2(logFd >= 0 ? logFd : devNull, 1);
  dup2(logFd >= 0 ? logFd : devNull, 2);
  // The test process holds sockets without close-on-exec; the server must not inherit them.
  if (errorPipe > 3) close_range(3, errorPipe - 1, 0);
  close_range(errorPipe + 1, ~0U, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvp(argv[0], argv);
  int err = errno;
  ssize_t w = write(errorPipe, &err, sizeof err);
  (void)w;
  _exit(127);
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, std::string logFile)
    : logFile_(std::move(logFile)) {
  if (argv.empty()) {
    error_ = "no program given";
    return;
  }
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  UniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
  UniqueFd log;
  if (!logFile_.empty()) {
    log.Reset(open(logFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!log.Valid()) {
      error_ = "cannot open " + logFile_ + ": " + detail::SocketErrorText(errno);
      return;
    }
  }
  int pipeFds[2];
  if (!devNull.Valid() || pipe2(pipeFds, O_CLOEXEC) != 0) {
    error_ = "cannot prepare the child: " + detail::SocketErrorText(errno);
    return;
  }
  UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    error_ = "fork: " + detail::SocketErrorText(errno);
    return;
  }
  if (pid == 0) RunChild(args.data(), log.Get(), devNull.Get(), writeEnd.Get(), parent);

  // Also from the parent, so that a Stop() right after the fork reaches the whole group.
  setpgid(pid, pid);
  writeEnd.Reset();
  int childErrno = 0;
  ssize_t n;
  do {
    n = read(readEnd.Get(), &childErrno, sizeof childErrno);
  } while (n < 0 && errno == EINTR);
  pid_ = pid;
  if (n == sizeof childErrno) {
    // exec failed: the pipe carried its errno instead of closing on exec.
    Finish();
    pid_ = -1;
    error_ = "cannot run " + argv[0] + ": " + detail::SocketErrorText(childErrno);
  }
}

ChildProcess::~ChildProcess() {
  Stop();
}

bool ChildProcess::Exited() {
  if (pid_ <= 0 || reaped_) return true;
  // WNOWAIT leaves the zombie in place: its pid, and so the group id, cannot be reused before
  // Finish() has signalled the group.
  siginfo_t info{};
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  return r < 0 || info.si_pid == pid_;
}

void ChildProcess::Finish() {
  if (pid_ <= 0 || reaped_) return;
  // Helpers the server forked may outlive the leader: end them with it.
  kill(-pid_, SIGKILL);
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, 0);
  } while (r < 0 && errno == EINTR);
  reaped_ = true;
  status_ = r == pid_ ? status : -1;
}

bool ChildProcess::IsRunning() {
  if (pid_ <= 0 || reaped_) return false;
  if (!Exited()) return true;
  Finish();
  return false;
}

bool ChildProcess::WaitForExit(int timeoutMs) {
  std::int64_t deadline = detail::NowMs() + timeoutMs;
  while (IsRunning()) {
    if (detail::NowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool ChildProcess::WaitForPort(std::uint16_t port, int timeoutMs) {
  std::int64_t deadline = detail::NowMs() + timeoutMs;
  while (IsRunning()) {
    std::string error;
    if (detail::ConnectLoopback(port, 0, deadline, detail::kNoSocket, &error).Valid()) return true;
    if (detail::NowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void ChildProcess::Stop(int graceMs) {
  if (pid_ <= 0 || reaped_) return;
  kill(-pid_, SIGTERM);
  kill(pid_, SIGTERM);  // in case the group could not be set up
  std::int64_t deadline = detail::NowMs() + graceMs;
  while (!Exited() && detail::NowMs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid_, SIGKILL);
  Finish();
}

int ChildProcess::ExitCode() const {
  if (!reaped_ || status_ < 0 || !WIFEXITED(status_)) return -1;
  return WEXITSTATUS(status_);
}

}  // namespace vantrel::test
