#include "Application.h"
#include "FireEvent.h"

#include <cstdio>

#include "Exceptions.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

std::unique_ptr<TApplication>& Slot() {
  static std::unique_ptr<TApplication> app;
  return app;
}

}  // namespace

void TApplication::ProcessMessages() {
  MSG msg;
  while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      terminated_ = true;
      continue;
    }
    try {
      TranslateMessage(&msg);
      DispatchMessage(&msg);
    } catch (...) {
      HandleCurrentException(nullptr);
    }
  }
}

void TApplication::WaitForMessages() {
  WaitMessage();
}

void TApplication::Run() {
  while (!terminated_) {
    ProcessMessages();
    if (terminated_) break;
    WaitForMessages();
  }
}

void TApplication::HandleException(TObject* Sender, const std::exception& E) {
  if (OnException) {
    try {
      FireEvent(OnException, Sender, E);
      return;
    } catch (const std::exception& inner) {
      // The hook itself failed: report that one too, but never let it out of the loop.
      std::fprintf(stderr, "%s\n", inner.what());
    } catch (...) {
      std::fprintf(stderr, "Unknown exception in the exception handler\n");
    }
  }
  std::fprintf(stderr, "%s\n", E.what());
}

void TApplication::HandleCurrentException(TObject* Sender) {
  std::exception_ptr current = std::current_exception();
  if (!current) return;
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    HandleException(Sender, e);
  } catch (...) {
    HandleException(Sender, Exception("Unknown exception"));
  }
}

TApplication& Application() {
  auto& app = Slot();
  if (!app) app = std::make_unique<TApplication>();
  return *app;
}

void SetApplication(std::unique_ptr<TApplication> app) {
  Slot() = app ? std::move(app) : std::make_unique<TApplication>();
}

}  // namespace vantrel
