#include "icq.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QShortcut>
#include <algorithm>

#include "Application.h"
#include "Dialogs.h"
#include "Exceptions.h"
#include "IndicatorPictures.h"
#include "Registry.h"
#include "SettingsStore.h"

namespace vantrel {

TForm1* Form1 = nullptr;

namespace {

constexpr int kDesignLeft = 200;
constexpr int kDesignTop = 108;
constexpr char kProxyPrompt[] = "Server:Port  Example: proxy.example.net:8080";

// Why the exception being handled was raised, in words for the user: for the settings store the
// file and the system's reason.
std::string CauseOfCurrentException() {
  try {
    throw;
  } catch (const ERegistryException& E) {
    return E.Cause().empty() ? E.Message() : E.Cause();
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

template <class Handler>
bool TForm1::Guarded(Handler&& Run) {
  try {
    Run();
    return true;
  } catch (...) {
    Application().HandleCurrentException(this);
    return false;
  }
}

TForm1::TForm1(QWidget* Parent) : QWidget(Parent), TComponent(nullptr) {
  BuildLayout();
  Form1 = this;
  Guarded([this] { FormCreate(this); });
}

TForm1::~TForm1() {
  if (Form1 == this) {
    Form1 = nullptr;
    // The hook points into this window.
    Application().OnException = nullptr;
  }
}

void TForm1::BuildLayout() {
  // Owned by this form through the component tree; destroyed before the widgets.
  HttpCli1 = new THttpCli(this);
  HttpCli1->SetName("HttpCli1");
  ConfigureStatusClient(*HttpCli1);
  check_ = std::make_unique<TStatusCheck>(*HttpCli1);

  setWindowTitle(QStringLiteral("Vantrel"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(197, 51);
  QFont Font(QStringLiteral("MS Sans Serif"));
  Font.setPointSize(8);
  setFont(Font);
  QPalette Colours = palette();
  Colours.setColor(QPalette::Window, Colours.color(QPalette::Button));
  setPalette(Colours);
  setAutoFillBackground(true);
  setWindowIcon(QIcon(QPixmap::fromImage(IndicatorImage(isOnline))));

  // Every widget below is owned by this form (Qt parent).
  Label1 = new QLabel(QStringLiteral("UIN :"), this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(4, 8, 25, 13);

  StatusBar1 = new TStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setGeometry(0, 32, 197, 19);
  StatusBar1->SetSimpleText(MakerAddress);

  BitBtn1 = new QPushButton(QStringLiteral("Check"), this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setGeometry(104, 2, 65, 25);
  BitBtn1->setIcon(QIcon(QPixmap::fromImage(CheckButtonGlyph())));
  BitBtn1->setIconSize(QSize(IndicatorWidth, IndicatorHeight));
  BitBtn1->setToolTip(QString::fromLatin1(MakerAddress));
  BitBtn1->setDefault(true);
  connect(BitBtn1, &QPushButton::clicked, this,
          [this] { Guarded([this] { BitBtn1Click(this); }); });

  Edit1 = new TEdit(this);
  Edit1->setObjectName("Edit1");
  Edit1->setGeometry(36, 4, 61, 21);
  Edit1->SetMaxLength(9);
  setTabOrder(Edit1, BitBtn1);

  QLabel** Images[] = {&Image1, &Image2, &Image3};
  const TIcqStatus Statuses[] = {isOnline, isOffline, isUnknown};
  for (int I = 0; I < 3; ++I) {
    QLabel* Image = new QLabel(this);
    Image->setObjectName(QStringLiteral("Image%1").arg(I + 1));
    Image->setGeometry(176, 6, IndicatorWidth, IndicatorHeight);
    Image->setPixmap(QPixmap::fromImage(IndicatorImage(Statuses[I])));
    Image->setVisible(Statuses[I] == isUnknown);
    *Images[I] = Image;
  }

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  SetProxy1 = PopupMenu1->addAction(QStringLiteral("Set &Proxy"));
  SetProxy1->setObjectName("SetProxy1");
  connect(SetProxy1, &QAction::triggered, this,
          [this] { Guarded([this] { SetProxy1Click(this); }); });

  // Enter anywhere in the window presses the default button (Qt does that only in dialogs).
  for (int Key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* Shortcut = new QShortcut(QKeySequence(Key), this);
    connect(Shortcut, &QShortcut::activated, BitBtn1, &QPushButton::click);
  }
}

int TForm1::Left() const {
  return positioned_ ? pos().x() : kDesignLeft;
}
int TForm1::Top() const {
  return positioned_ ? pos().y() : kDesignTop;
}

void TForm1::SetLeft(int Value) {
  move(Value, Top());
  positioned_ = true;
}

void TForm1::SetTop(int Value) {
  move(Left(), Value);
  positioned_ = true;
}

void TForm1::showEvent(QShowEvent* Event) {
  if (!Event->spontaneous() && !shownOnce_) {
    shownOnce_ = true;
    if (positioned_) KeepOnScreen();
  }
  positioned_ = true;
  QWidget::showEvent(Event);
}

void TForm1::KeepOnScreen() {
  const QRect Window(QPoint(Left(), Top()), size());
  for (const QScreen* Screen : QGuiApplication::screens())
    if (Screen->availableGeometry().intersects(Window)) return;
  const QScreen* Primary = QGuiApplication::primaryScreen();
  if (Primary == nullptr) return;
  // As near to the stored place as the primary screen allows.
  const QRect Area = Primary->availableGeometry();
  move(std::clamp(Window.left(), Area.left(), std::max(Area.left(), Area.right() + 1 - width())),
       std::clamp(Window.top(), Area.top(), std::max(Area.top(), Area.bottom() + 1 - height())));
}

void TForm1::contextMenuEvent(QContextMenuEvent* Event) {
  PopupMenu1->popup(Event->globalPos());
}

void TForm1::ShowIndicator(TIcqStatus Status) {
  Image1->setVisible(Status == isOnline);
  Image2->setVisible(Status == isOffline);
  Image3->setVisible(Status == isUnknown);
}

void TForm1::BitBtn1Click(TObject*) {
  if (Edit1->Text().empty()) {
    ShowMessage(this, InvalidUinText);
  } else {
    BitBtn1->setEnabled(false);
    Edit1->setEnabled(false);
    // Draw the disabled controls before the request starts.
    Application().ProcessMessages();
    check_->Fetch(Edit1->Text());
    BitBtn1->setEnabled(true);
    Edit1->setEnabled(true);
    const TIcqStatus Status = ClassifyStatusSize(TStatusCheck::MeasureFile());
    StatusBar1->SetSimpleText(Edit1->Text() + StatusSuffix(Status));
    ShowIndicator(Status);
    TStatusCheck::DeleteFile();
  }
  Edit1->setFocus();
}

void TForm1::AppException(TObject*, const std::exception&) {
  check_->Abandon();
  StatusBar1->SetSimpleText(CantConnectText);
  BitBtn1->setEnabled(true);
  Edit1->setEnabled(true);
  Edit1->setFocus();
}

void TForm1::FormCreate(TObject*) {
  Application().OnException = [this](TObject* Sender, const std::exception& E) {
    AppException(Sender, E);
  };
  CreateSettingKey(SettingsKeyPath);
  Edit1->SetText(ReadSettingValue(SettingsKeyPath, SettingUin));
  const std::string StoredLeft = ReadSettingValue(SettingsKeyPath, SettingLeft);
  if (!StoredLeft.empty())
    Form1->SetLeft(StrToInt(StoredLeft));
  else
    WriteSettingValue(SettingsKeyPath, SettingLeft, IntToStr(Form1->Left()));
  const std::string StoredTop = ReadSettingValue(SettingsKeyPath, SettingTop);
  if (!StoredTop.empty())
    Form1->SetTop(StrToInt(StoredTop));
  else
    WriteSettingValue(SettingsKeyPath, SettingTop, IntToStr(Form1->Top()));
  HttpCli1->SetProxy(ReadSettingValue(SettingsKeyPath, SettingProxy));
  HttpCli1->SetProxyPort(ReadSettingValue(SettingsKeyPath, SettingPort));
}

void TForm1::FormClose(TObject*, TCloseAction&) {
  WriteSettingValue(SettingsKeyPath, SettingUin, Edit1->Text());
  WriteSettingValue(SettingsKeyPath, SettingLeft, IntToStr(Form1->Left()));
  WriteSettingValue(SettingsKeyPath, SettingTop, IntToStr(Form1->Top()));
}

void TForm1::closeEvent(QCloseEvent* Event) {
  TCloseAction Action = caHide;
  bool Stored = true;
  std::string Cause;
  try {
    FormClose(this, Action);
  } catch (...) {
    Stored = false;
    Cause = CauseOfCurrentException();
    Application().HandleCurrentException(this);
  }
  // A close whose settings could not be stored is refused once, with the reason and what the
  // next close does; the next close request closes all the same.
  if (!Stored && !closeRefused_) {
    closeRefused_ = true;
    Event->ignore();
    ShowMessage(this, "Settings not saved: " + Cause + ". Close again to quit without saving.");
    return;
  }
  if (Stored && Action == caNone) {
    Event->ignore();
    return;
  }
  Event->accept();
}

void TForm1::SetProxy1Click(TObject*) {
  const std::string Proxy = ReadSettingValue(SettingsKeyPath, SettingProxy);
  const std::string Port = ReadSettingValue(SettingsKeyPath, SettingPort);
  const std::string Initial = !Proxy.empty() && !Port.empty() ? Proxy + ":" + Port : std::string();
  const std::string Text = InputBox(this, "Set Proxy", kProxyPrompt, Initial);
  std::string NewProxy, NewPort;
  if (!SplitProxySetting(Text, NewProxy, NewPort)) {
    ShowMessage(this, "Invalid proxy settings.");
    return;
  }
  HttpCli1->SetProxy(NewProxy);
  HttpCli1->SetProxyPort(NewPort);
  WriteSettingValue(SettingsKeyPath, SettingProxy, HttpCli1->Proxy());
  WriteSettingValue(SettingsKeyPath, SettingPort, HttpCli1->ProxyPort());
}

}  // namespace vantrel
