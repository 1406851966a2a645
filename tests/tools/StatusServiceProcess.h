// This is an internal header of the Vantrel program's tests.
// The local status service run as a child process on a free port of 127.0.0.1, with its request
// dumps in a private folder; and a runner for the command-line programs under test.
//
// Thread rule: create, use and destroy on one thread (the child is tied to it).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace vantrel::test {

class StatusServiceProcess {
 public:
  // Starts the service with the extra arguments ("--status", "12345=online", ...) and waits up
  // to 5 s until it accepts connections.
  explicit StatusServiceProcess(const std::vector<std::string>& Args = {});
  ~StatusServiceProcess();

  bool Running() const { return port_ != 0; }
  const std::string& Error() const { return error_; }
  std::uint16_t Port() const { return port_; }
  // "127.0.0.1:<port>", the program's proxy setting.
  std::string ProxySetting() const { return "127.0.0.1:" + std::to_string(port_); }
  // The request headers received so far, oldest first, byte for byte.
  std::vector<std::string> Requests() const;
  // What the service printed.
  std::string Output() const;
  // Descriptors the service holds open now (-1 when unknown).
  int OpenDescriptors() const;
  // Stops it (SIGTERM) and returns its exit code (-1 when it did not exit normally).
  int Stop();

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  std::uint16_t port_ = 0;
  std::string error_;
};

struct ProgramResult {
  int ExitCode = -1;  // -1: killed or timed out
  std::string Out, Err;
};

// Runs Argv in folder Cwd with the environment changes Env ("" removes a variable), bounded by
// TimeoutMs, and collects its standard output and error.
ProgramResult RunProgram(const std::vector<std::string>& Argv, const std::string& Cwd,
                         const std::map<std::string, std::string>& Env, int TimeoutMs = 30000);

}  // namespace vantrel::test
