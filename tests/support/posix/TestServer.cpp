#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "ChildProcess.h"
#include "FreePort.h"
#include "TestServers.h"

namespace vantrel::test {
namespace {

constexpr int kStartAttempts = 3;
constexpr int kStartTimeoutMs = 10000;

std::string Tail(const std::string& text, std::size_t max = 2000) {
  return text.size() <= max ? text : "..." + text.substr(text.size() - max);
}

}  // namespace

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* env = getenv("PATH");
  std::string dirs = std::string(env ? env : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
  std::istringstream in(dirs);
  std::string dir;
  while (std::getline(in, dir, ':')) {
    if (dir.empty()) continue;
    std::string path = dir + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

TestServer::TestServer(const char* name, const char* dirPrefix) : name_(name), dir_(dirPrefix) {}

TestServer::~TestServer() {
  Stop();
}

void TestServer::Stop() {
  process_.reset();
}

bool TestServer::Running() {
  return process_ && process_->IsRunning();
}

std::string TestServer::Output() const {
  return ReadFile(dir_.File("output.log"));
}

std::string TestServer::Require(const char* program, const char* package) {
  std::string path = FindProgram(program);
  if (path.empty() && skipReason_.empty())
    skipReason_ = std::string(program) + " is not installed (Debian package " + package + ")";
  return path;
}

void TestServer::Start(const Prepare& prepare, const std::string& logFile) {
  if (!skipReason_.empty()) return;
  if (dir_.Path().empty()) {
    error_ = name_ + ": cannot create a temporary folder";
    return;
  }
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    std::uint16_t port = FreeTcpPort();
    std::vector<std::string> argv = prepare(port);
    process_ = std::make_shared<ChildProcess>(argv, dir_.File("output.log"));
    if (!process_->Started()) {
      error_ = name_ + ": " + process_->Error();
      process_.reset();
      return;
    }
    if (process_->WaitForPort(port, kStartTimeoutMs)) {
      port_ = port;
      error_.clear();
      return;
    }
    bool exited = !process_->IsRunning();
    process_.reset();
    error_ = name_ + " did not accept connections on 127.0.0.1:" + std::to_string(port) +
             (exited ? " (it exited)" : " within the time limit") + "\n" +
             Tail(Output() + ReadFile(logFile));
    if (!exited) return;  // hanging rather than failing: another port will not help
  }
}

}  // namespace vantrel::test
