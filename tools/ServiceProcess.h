// The status service's process on each system (ServiceProcessPosix.cpp, ServiceProcessWin.cpp):
// its preparation, the stop requests that end its loop in an orderly way, and putting a file in
// place whole.
#pragma once

#include <memory>
#include <string>

namespace vantrel {

// Raises what limits a burst of connections, and keeps a closed peer from ending the process.
void PrepareServiceProcess();

// While it lives, a stop request (SIGINT or SIGTERM; Ctrl+C or Ctrl+Break on Windows) terminates
// the application's loop. Create and destroy it on the main thread.
class TStopRequests {
 public:
  TStopRequests();
  ~TStopRequests();
  TStopRequests(const TStopRequests&) = delete;
  TStopRequests& operator=(const TStopRequests&) = delete;

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

// Replaces To with From in one step, so that a reader never sees half a file.
bool MoveIntoPlace(const std::string& From, const std::string& To);

}  // namespace vantrel
