// Vantrel: tells whether an ICQ number is online. The program's start: the application object,
// the main window, the message loop until the window closes.
#include <memory>

#include "QtApplication.h"
#include "icq.h"

using namespace vantrel;

int main(int argc, char** argv) {
  auto Owned = std::make_unique<TQtApplication>(argc, argv);
  TQtApplication& App = *Owned;
  SetApplication(std::move(Owned));
  App.Initialize();
  App.SetMainForm(std::make_unique<TForm1>());
  App.Run();
  // The window, its sockets and Qt go before the platform's per-thread state.
  SetApplication(nullptr);
  return 0;
}
