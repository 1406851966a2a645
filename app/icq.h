// This is an internal header of the Vantrel program (unit icq).
// TForm1: the program's one window. It checks whether an ICQ number is online by fetching the
// status service's picture for it and judging the picture's size, shows the result in its status
// bar and as one of three indicators, and keeps the last number, its position and the HTTP proxy
// in the settings store.
//
// Thread rule: GUI thread only. The window owns its widgets (Qt parent tree) and its HTTP client
// (component owner); the member pointers below only refer to them.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QWidget>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "Component.h"
#include "Controls.h"
#include "HttpProt.h"
#include "StatusCheck.h"

namespace vantrel {

// What closing the window does; FormClose may change it.
enum TCloseAction : std::uint8_t { caNone, caHide, caFree, caMinimize };

class TForm1 : public QWidget, public TComponent {
  Q_OBJECT

 public:
  // Builds the layout, sets Form1, then runs FormCreate; an exception of FormCreate goes to the
  // exception hook, and the window is still made.
  explicit TForm1(QWidget* Parent = nullptr);
  ~TForm1() override;

  // The components, in the form's order.
  THttpCli* HttpCli1;
  QLabel* Label1;
  TStatusBar* StatusBar1;
  QPushButton* BitBtn1;
  TEdit* Edit1;
  QLabel* Image1;
  QLabel* Image2;
  QLabel* Image3;
  QMenu* PopupMenu1;
  QAction* SetProxy1;

  // The handlers. They may raise; the window calls them through the exception hook.
  void BitBtn1Click(TObject* Sender);
  void FormCreate(TObject* Sender);
  void FormClose(TObject* Sender, TCloseAction& Action);
  void AppException(TObject* Sender, const std::exception& E);
  void SetProxy1Click(TObject* Sender);

  // The window's position: the design values (200, 108) until it is shown or moved, so that the
  // window system chooses the first placement unless a stored one is set.
  int Left() const;
  void SetLeft(int Value);
  int Top() const;
  void SetTop(int Value);

 protected:
  void closeEvent(QCloseEvent* Event) override;
  void contextMenuEvent(QContextMenuEvent* Event) override;
  void showEvent(QShowEvent* Event) override;

 private:
  void BuildLayout();
  void ShowIndicator(TIcqStatus Status);
  // At the first show: a stored position that would leave the window on no available screen (a
  // screen since removed, a smaller display) is moved onto the primary screen.
  void KeepOnScreen();
  // Runs a handler; what it raises goes to the application's exception hook. False when it
  // raised.
  template <class Handler>
  bool Guarded(Handler&& Run);

  std::unique_ptr<TStatusCheck> check_;
  bool positioned_ = false;
  bool shownOnce_ = false;
  bool closeRefused_ = false;
};

// The main window once it is created (not owned here: the application object owns it).
extern TForm1* Form1;

}  // namespace vantrel
