// This is an internal header of the Vantrel program.
// TQtApplication: the application object of the desktop program. It owns Qt's application and
// the main form, and joins the main thread's platform queue (sockets, lookups, posted messages,
// timers) to Qt's event loop through a socket notifier on the queue's epoll descriptor, so that
// "process every waiting message" and "wait for messages" serve both.
//
// An exception that escapes an event handler, a Qt one or a platform one, goes to the exception
// hook (OnException), never through Qt's loop.
//
// Thread rule: main thread only; create it before any widget and destroy it after them.
#pragma once

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <memory>

#include "Application.h"

namespace vantrel {

class TQtApplication : public TApplication {
 public:
  // Creates Qt's application object from the command line (Qt takes its own options).
  TQtApplication(int& argc, char** argv);
  // Destroys the main form first, then the notifier, then Qt's application object.
  ~TQtApplication() override;

  // Runs every Qt event and platform message that is waiting, then returns.
  void ProcessMessages() override;
  // Blocks in Qt's wait until a Qt event or platform message arrives.
  void WaitForMessages() override;
  // Shows the main form and runs until Terminate() or until the main form has been closed.
  void Run() override;

  // Takes ownership of the program's main form.
  void SetMainForm(std::unique_ptr<QWidget> Form);
  QWidget* MainForm() const { return mainForm_.get(); }

 private:
  class TGuardedApplication;
  // The platform messages of the main thread, with the notifier held off meanwhile: a nested
  // Qt loop inside a handler must not see the descriptor and call in again.
  void PumpPlatformMessages();

  std::unique_ptr<QApplication> qt_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::unique_ptr<QWidget> mainForm_;
};

}  // namespace vantrel
