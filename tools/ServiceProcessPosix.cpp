#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "Application.h"
#include "ForeignLoop.h"
#include "ServiceProcess.h"
#include "UniqueFd.h"

namespace vantrel {
namespace {

int BlockAndOpen() {
  sigset_t Set;
  sigemptyset(&Set);
  sigaddset(&Set, SIGINT);
  sigaddset(&Set, SIGTERM);
  sigprocmask(SIG_BLOCK, &Set, nullptr);
  return signalfd(-1, &Set, SFD_NONBLOCK | SFD_CLOEXEC);
}

}  // namespace

void PrepareServiceProcess() {
  // A load test opens a thousand connections at once.
  rlimit Limit{};
  if (getrlimit(RLIMIT_NOFILE, &Limit) == 0 && Limit.rlim_cur < Limit.rlim_max) {
    Limit.rlim_cur = Limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &Limit);
  }
  std::signal(SIGPIPE, SIG_IGN);
}

// The signals arrive through a descriptor the message loop watches.
struct TStopRequests::TState {
  TState() : Fd(BlockAndOpen()), Watch(Fd.Get(), [this] { Drain(); }) {}
  void Drain() {
    signalfd_siginfo Info;
    while (read(Fd.Get(), &Info, sizeof Info) == sizeof Info) {
    }
    Application().Terminate();
  }

  // In this order, so that the watch ends before the descriptor is closed.
  UniqueFd Fd;
  TDescriptorWatch Watch;
};

TStopRequests::TStopRequests() : state_(std::make_unique<TState>()) {}
TStopRequests::~TStopRequests() = default;

bool MoveIntoPlace(const std::string& From, const std::string& To) {
  return std::rename(From.c_str(), To.c_str()) == 0;
}

}  // namespace vantrel
