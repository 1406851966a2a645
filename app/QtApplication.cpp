#include "QtApplication.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>

#include "ThreadQueue.h"
#include "WinMessages.h"

namespace vantrel {

// Qt's loop must never be unwound by an exception: whatever a handler lets out stops here.
class TQtApplication::TGuardedApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* Receiver, QEvent* Event) override {
    try {
      return QApplication::notify(Receiver, Event);
    } catch (...) {
      Application().HandleCurrentException(nullptr);
      return false;
    }
  }
};

TQtApplication::TQtApplication(int& argc, char** argv)
    : qt_(std::make_unique<TGuardedApplication>(argc, argv)) {
  ThreadQueue& Queue = ThreadQueue::Current();
  notifier_ = std::make_unique<QSocketNotifier>(Queue.EpollFd(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                   [this] { PumpPlatformMessages(); });
  // Every post that makes the queue non-empty now makes the descriptor readable.
  Queue.SetExternalWaiter(true);
}

TQtApplication::~TQtApplication() {
  mainForm_.reset();
  ThreadQueue::Current().SetExternalWaiter(false);
  notifier_.reset();
  qt_.reset();
}

void TQtApplication::PumpPlatformMessages() {
  const bool WasEnabled = notifier_->isEnabled();
  notifier_->setEnabled(false);
  // Dispatches until the queue is empty; that also reads the queue's wake-up descriptor, so the
  // level-triggered notifier goes quiet.
  TApplication::ProcessMessages();
  notifier_->setEnabled(WasEnabled);
}

void TQtApplication::ProcessMessages() {
  PumpPlatformMessages();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  PumpPlatformMessages();
}

void TQtApplication::WaitForMessages() {
  MSG Msg;
  if (PeekMessage(&Msg, nullptr, 0, 0, PM_NOREMOVE)) return;
  // Qt returns from this wait once it has handled something: one of its own events or the
  // notifier, which has then pumped the platform queue.
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TQtApplication::Run() {
  if (mainForm_) mainForm_->show();
  while (!Terminated()) {
    ProcessMessages();
    // Qt's own signal for the last closed window comes only from its exec() loop, which this
    // loop replaces; a main form that a close has hidden ends the run here.
    if (mainForm_ && mainForm_->isHidden()) Terminate();
    if (Terminated()) break;
    WaitForMessages();
  }
}

void TQtApplication::SetMainForm(std::unique_ptr<QWidget> Form) {
  mainForm_ = std::move(Form);
}

}  // namespace vantrel
