// This is a public header file.
// The application object: initialise, process every waiting message, run until terminated, and
// the application-wide hook for exceptions that escape event handlers.
//
// The process has one application object at a time (Application()). The default one is headless
// and drives the main thread's platform queue; a GUI program installs its own subclass that also
// pumps the toolkit's events.
#pragma once

#include <exception>
#include <functional>
#include <memory>

#include "Component.h"

namespace vantrel {

class TApplication {
 public:
  using TExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;

  virtual ~TApplication() = default;

  virtual void Initialize() {}
  // Runs every message waiting for the main thread, then returns. A WM_QUIT sets Terminated.
  virtual void ProcessMessages();
  // Blocks until a message may be waiting for the main thread (spurious returns allowed).
  virtual void WaitForMessages();
  // Runs until Terminate() is called or a WM_QUIT arrives.
  virtual void Run();
  virtual void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  void SetTerminated(bool value) { terminated_ = value; }

  // Hands an exception that escaped an event handler to OnException, or, when unset, writes its
  // message to standard error. Never rethrows.
  virtual void HandleException(TObject* Sender, const std::exception& E);
  // Calls HandleException for the exception being handled (use inside a catch block).
  void HandleCurrentException(TObject* Sender);

  TExceptionEvent OnException;

 private:
  bool terminated_ = false;
};

// The process's application object; a headless one is created on first use.
TApplication& Application();
// Installs a replacement (for example the Qt application object); null restores a headless one.
void SetApplication(std::unique_ptr<TApplication> app);

}  // namespace vantrel
