#include "StatusServiceProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

namespace vantrel::test {
namespace {

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

StatusServiceProcess::StatusServiceProcess(const std::vector<std::string>& Args)
    : dir_("vantrel-service-") {
  const std::string Dump = dir_.File("dump");
  std::filesystem::create_directories(Dump);
  std::vector<std::string> Argv = {VANTREL_STATUS_SERVICE, "--port", "0", "--port-file",
                                   dir_.File("port"),      "--dump", Dump};
  Argv.insert(Argv.end(), Args.begin(), Args.end());
  process_ = std::make_unique<ChildProcess>(Argv, dir_.File("service.log"));
  if (!process_->Started()) {
    error_ = process_->Error();
    return;
  }
  const std::int64_t GiveUp = NowMs() + 5000;
  std::string PortText;
  while (NowMs() < GiveUp && process_->IsRunning()) {
    PortText = ReadFile(dir_.File("port"));
    if (!PortText.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const int Port = PortText.empty() ? 0 : std::atoi(PortText.c_str());
  if (Port <= 0 || !process_->WaitForPort(static_cast<std::uint16_t>(Port), 5000)) {
    error_ = "the status service did not start: " + Output();
    return;
  }
  port_ = static_cast<std::uint16_t>(Port);
}

StatusServiceProcess::~StatusServiceProcess() {
  Stop();
}

std::vector<std::string> StatusServiceProcess::Requests() const {
  std::vector<std::string> Result;
  for (int N = 1;; ++N) {
    const std::string Path = dir_.File("dump/request-" + std::to_string(N) + ".txt");
    if (!std::filesystem::exists(Path)) break;
    Result.push_back(ReadFile(Path));
  }
  return Result;
}

std::string StatusServiceProcess::Output() const {
  return ReadFile(dir_.File("service.log"));
}

int StatusServiceProcess::OpenDescriptors() const {
  if (!process_ || !process_->Started()) return -1;
  DIR* Dir = opendir(("/proc/" + std::to_string(process_->Pid()) + "/fd").c_str());
  if (Dir == nullptr) return -1;
  int Count = 0;
  while (readdir(Dir) != nullptr) ++Count;
  closedir(Dir);
  return Count - 2;
}

int StatusServiceProcess::Stop() {
  if (!process_) return -1;
  process_->Stop(3000);
  const int Code = process_->ExitCode();
  process_.reset();
  return Code;
}

ProgramResult RunProgram(const std::vector<std::string>& Argv, const std::string& Cwd,
                         const std::map<std::string, std::string>& Env, int TimeoutMs) {
  ProgramResult Result;
  TempDir Out("vantrel-run-");
  const std::string OutFile = Out.File("out"), ErrFile = Out.File("err");
  // Everything the child needs is made before the fork: only async-signal-safe calls after it.
  std::vector<std::string> Environment;
  for (char** Var = environ; *Var != nullptr; ++Var) {
    const std::string Entry = *Var;
    if (!Env.count(Entry.substr(0, Entry.find('=')))) Environment.push_back(Entry);
  }
  for (const auto& [Name, Value] : Env)
    if (!Value.empty()) Environment.push_back(Name + "=" + Value);
  std::vector<char*> EnvP;
  for (std::string& E : Environment) EnvP.push_back(E.data());
  EnvP.push_back(nullptr);
  std::vector<char*> Args;
  for (const std::string& A : Argv) Args.push_back(const_cast<char*>(A.c_str()));
  Args.push_back(nullptr);

  const pid_t Pid = fork();
  if (Pid < 0) return Result;
  if (Pid == 0) {
    if (!Cwd.empty() && chdir(Cwd.c_str()) != 0) _exit(126);
    const int O = open(OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int E = open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int In = open("/dev/null", O_RDONLY);
    if (O < 0 || E < 0 || In < 0) _exit(126);
    dup2(In, 0);
    dup2(O, 1);
    dup2(E, 2);
    execve(Args[0], Args.data(), EnvP.data());
    _exit(127);
  }
  const std::int64_t GiveUp = NowMs() + TimeoutMs;
  int Status = 0;
  for (;;) {
    const pid_t Done = waitpid(Pid, &Status, WNOHANG);
    if (Done == Pid) break;
    if (NowMs() >= GiveUp) {
      kill(Pid, SIGKILL);
      waitpid(Pid, &Status, 0);
      Status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (Status != -1 && WIFEXITED(Status)) Result.ExitCode = WEXITSTATUS(Status);
  Result.Out = ReadFile(OutFile);
  Result.Err = ReadFile(ErrFile);
  return Result;
}

}  // namespace vantrel::test
