// The Vantrel window against the local status service, which the tests start on a free port and
// set as the proxy, as a user would. Runs under QT_QPA_PLATFORM=offscreen. Every test has its own
// settings folder (XDG_CONFIG_HOME) and its own current folder (for "_icq.gif").
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "Dialogs.h"
#include "LeakCheck.h"
#include "QtApplication.h"
#include "Registry.h"
#include "SettingsStore.h"
#include "StatusServiceProcess.h"
#include "TempDir.h"
#include "WinMessages.h"
#include "icq.h"

using namespace vantrel;
using vantrel::test::StatusServiceProcess;
using vantrel::test::TempDir;

namespace {

std::string HivePath() {
  return THiveFile::DefaultPath();
}

std::string HiveText() {
  return vantrel::test::ReadFile(HivePath());
}

void WriteHive(const std::string& Values) {
  vantrel::test::WriteFile(HivePath(),
                           "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel]\r\n" +
                               Values);
}

std::string Stored(const char* Name) {
  return ReadSettingValue(SettingsKeyPath, Name);
}

// What a modal dialog showed, and what the test did with it.
struct DialogSeen {
  bool Opened = false;
  QString Title, Text, Initial;
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> config_, work_;
  std::string oldCwd_;
  int baseDescriptors_ = 0;
  int baseWindows_ = 0;

  std::unique_ptr<TForm1> MakeForm() {
    auto Form = std::make_unique<TForm1>();
    Form->show();
    QApplication::setActiveWindow(Form.get());
    Form->Edit1->setFocus();
    // Bounds every check of these tests well below the test's own time limit.
    Form->HttpCli1->SetTimeLimit(10000);
    return Form;
  }

  // Answers the next modal dialog named Name within 5 s: Respond gets the dialog. A dialog that
  // never comes leaves Opened false; one that is still open after the respond is rejected so the
  // test cannot hang.
  std::shared_ptr<DialogSeen> WhenModal(const char* Name, std::function<void(QDialog*)> Respond) {
    auto Seen = std::make_shared<DialogSeen>();
    auto* Timer = new QTimer(this);
    auto Tries = std::make_shared<int>(0);
    Timer->setInterval(10);
    connect(Timer, &QTimer::timeout, this, [=] {
      auto* Dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (Dialog != nullptr && Dialog->objectName() == Name) {
        Seen->Opened = true;
        Seen->Title = Dialog->windowTitle();
        if (auto* Box = qobject_cast<QMessageBox*>(Dialog)) Seen->Text = Box->text();
        if (auto* Input = qobject_cast<QInputDialog*>(Dialog)) {
          Seen->Text = Input->labelText();
          Seen->Initial = Input->textValue();
        }
        Respond(Dialog);
        Timer->deleteLater();
      } else if (++*Tries > 500) {
        if (Dialog != nullptr) Dialog->reject();
        Timer->deleteLater();
      }
    });
    Timer->start();
    return Seen;
  }

  // Opens "Set Proxy", types Text (or cancels when nothing is given) and presses OK.
  std::shared_ptr<DialogSeen> SetProxy(TForm1& Form, std::optional<QString> Text) {
    auto Seen = WhenModal(InputBoxName, [Text](QDialog* Dialog) {
      if (!Text) {
        Dialog->reject();
        return;
      }
      auto* Edit = Dialog->findChild<QLineEdit*>();
      Edit->selectAll();
      QTest::keyClicks(Edit, *Text);
      Dialog->accept();
    });
    Form.SetProxy1->trigger();
    return Seen;
  }

  void Check(TForm1& Form, const QString& Uin) {
    Form.Edit1->setText(Uin);
    QTest::mouseClick(Form.BitBtn1, Qt::LeftButton);
  }

  static int VisibleIndicator(TForm1& Form) {
    int Which = 0, Count = 0;
    QLabel* Images[] = {Form.Image1, Form.Image2, Form.Image3};
    for (int I = 0; I < 3; ++I)
      if (Images[I]->isVisibleTo(&Form)) {
        Which = I + 1;
        ++Count;
      }
    return Count == 1 ? Which : -Count;
  }

  // The idle window after a failed check, as the exception handler leaves it.
  static void VerifyFailedCheck(TForm1& Form) {
    QCOMPARE(QString::fromStdString(Form.StatusBar1->SimpleText()),
             QStringLiteral("Can't connect to ICQ server"));
    QVERIFY(Form.HttpCli1->ReceiveStream() == nullptr);
    QVERIFY(Form.BitBtn1->isEnabled());
    QVERIFY(Form.Edit1->isEnabled());
    QCOMPARE(Form.focusWidget(), static_cast<QWidget*>(Form.Edit1));
    QVERIFY(!FileExists(StatusFileName));
  }

 private slots:
  void initTestCase() {
    // Whatever Qt and the platform set up once per process (fonts, queues) is set up here, before
    // the tests count descriptors and windows.
    TempDir Config("vantrel-config-");
    setenv("XDG_CONFIG_HOME", Config.Path().c_str(), 1);
    auto Form = MakeForm();
    QTest::qWait(50);
  }

  void init() {
    baseDescriptors_ = vantrel::test::OpenDescriptorCount();
    baseWindows_ = LiveWindowCount();
    config_ = std::make_unique<TempDir>("vantrel-config-");
    work_ = std::make_unique<TempDir>("vantrel-work-");
    setenv("XDG_CONFIG_HOME", config_->Path().c_str(), 1);
    char Cwd[4096];
    oldCwd_ = getcwd(Cwd, sizeof Cwd) != nullptr ? Cwd : "/";
    QVERIFY(chdir(work_->Path().c_str()) == 0);
  }

  void cleanup() {
    QVERIFY(chdir(oldCwd_.c_str()) == 0);
    work_.reset();
    config_.reset();
    QVERIFY(QApplication::topLevelWidgets().isEmpty() ||
            std::none_of(QApplication::topLevelWidgets().begin(),
                         QApplication::topLevelWidgets().end(),
                         [](QWidget* W) { return W->isVisible(); }));
    QCOMPARE(LiveWindowCount(), baseWindows_);
    QCOMPARE(vantrel::test::OpenDescriptorCount(), baseDescriptors_);
  }

  void layoutAndStartState() {
    auto Form = MakeForm();
    QCOMPARE(Form->windowTitle(), QStringLiteral("Vantrel"));
    QCOMPARE(Form->size(), QSize(197, 51));
    QCOMPARE(Form->Label1->text(), QStringLiteral("UIN :"));
    QCOMPARE(Form->Edit1->geometry(), QRect(36, 4, 61, 21));
    QCOMPARE(Form->BitBtn1->text(), QStringLiteral("Check"));
    QVERIFY(Form->BitBtn1->isDefault());
    QCOMPARE(Form->BitBtn1->toolTip().toStdString(), std::string(MakerAddress));
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string(MakerAddress));
    QCOMPARE(VisibleIndicator(*Form), 3);
    QCOMPARE(Form->SetProxy1->text(), QStringLiteral("Set &Proxy"));
    QCOMPARE(Form->HttpCli1->Agent(), std::string("Mozilla/3.0 (compatible)"));
    QVERIFY(Form->HttpCli1->NoCache());
    // The pictures: 15 x 16, grey background, green, red and grey petals.
    const QImage Online = Form->Image1->pixmap().toImage();
    QCOMPARE(Online.size(), QSize(15, 16));
    QCOMPARE(Online.pixel(0, 15), qRgb(192, 192, 192));
    QCOMPARE(Online.pixel(6, 1), qRgb(0, 255, 0));
    QCOMPARE(Online.pixel(7, 1), qRgb(255, 255, 255));
    QCOMPARE(Form->Image2->pixmap().toImage().pixel(6, 1), qRgb(255, 0, 16));
    QCOMPARE(Form->Image3->pixmap().toImage().pixel(6, 1), qRgb(123, 123, 123));
    QCOMPARE(Online.pixel(7, 7), qRgb(255, 255, 0));
    // Typing stops at 9 characters.
    Form->Edit1->clear();
    QTest::keyClicks(Form->Edit1, "1234567890123");
    QCOMPARE(Form->Edit1->text(), QStringLiteral("123456789"));
  }

  void onlineOfflineUnknownThroughTheProxy() {
    StatusServiceProcess Service(
        {"--status", "12345=online", "--status", "22222=offline", "--status", "33333=unknown"});
    QVERIFY2(Service.Running(), Service.Error().c_str());
    WriteHive("\"Proxy\"=\"127.0.0.1\"\r\n\"Port\"=\"" + std::to_string(Service.Port()) + "\"\r\n");
    auto Form = MakeForm();
    // The controls are disabled while the request runs.
    std::vector<bool> EnabledDuringRequest;
    Form->HttpCli1->OnRequestHeaderBegin = [&](TObject*) {
      EnabledDuringRequest.push_back(Form->BitBtn1->isEnabled() || Form->Edit1->isEnabled());
    };

    Check(*Form, "12345");
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string("12345 : Online"));
    QCOMPARE(Form->Edit1->text(), QStringLiteral("12345"));
    QCOMPARE(VisibleIndicator(*Form), 1);
    QVERIFY(!FileExists(StatusFileName));
    QCOMPARE(Form->focusWidget(), static_cast<QWidget*>(Form->Edit1));

    Check(*Form, "22222");
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string("22222 : Offline"));
    QCOMPARE(VisibleIndicator(*Form), 2);

    Check(*Form, "33333");
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string("33333 : Unknown"));
    QCOMPARE(VisibleIndicator(*Form), 3);
    QVERIFY(!FileExists(StatusFileName));
    QVERIFY(Form->BitBtn1->isEnabled() && Form->Edit1->isEnabled());
    QCOMPARE(EnabledDuringRequest, (std::vector<bool>{false, false, false}));

    // The exact bytes the service received: the absolute form that a proxy gets.
    const std::vector<std::string> Requests = Service.Requests();
    QCOMPARE(Requests.size(), std::size_t(3));
    QCOMPARE(Requests[0],
             std::string("GET http://wwp.icq.com/scripts/online.dll?icq=12345&img=1 HTTP/1.0\r\n"
                         "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
                         "User-Agent: Mozilla/3.0 (compatible)\r\n"
                         "Host: wwp.icq.com\r\n"
                         "Pragma: no-cache\r\n"
                         "\r\n"));
    QVERIFY(Requests[2].rfind("GET http://wwp.icq.com/scripts/online.dll?icq=33333&img=1 ", 0) ==
            0);
  }

  void sizeBands() {
    // Each UIN here answers with a picture of exactly that many bytes.
    const std::vector<std::pair<int, const char*>> Bands = {
        {0, " : Online"},    {459, " : Online"},   {460, " : Unknown"}, {461, " : Offline"},
        {999, " : Offline"}, {1000, " : Unknown"}, {1001, " : Unknown"}};
    std::vector<std::string> Args;
    for (const auto& [Size, Suffix] : Bands) {
      Args.push_back("--status");
      Args.push_back(std::to_string(Size) + "=" + std::to_string(Size));
    }
    StatusServiceProcess Service(Args);
    QVERIFY2(Service.Running(), Service.Error().c_str());
    auto Form = MakeForm();
    Form->HttpCli1->SetProxy("127.0.0.1");
    Form->HttpCli1->SetProxyPort(std::to_string(Service.Port()));
    for (const auto& [Size, Suffix] : Bands) {
      const std::string Uin = std::to_string(Size);
      Check(*Form, QString::fromStdString(Uin));
      QCOMPARE(Form->StatusBar1->SimpleText(), Uin + Suffix);
      QCOMPARE(Form->HttpCli1->ReceivedBytes(), static_cast<std::int64_t>(Size));
      const int Expected = std::string(Suffix) == " : Online"    ? 1
                           : std::string(Suffix) == " : Offline" ? 2
                                                                 : 3;
      QCOMPARE(VisibleIndicator(*Form), Expected);
      QVERIFY(!FileExists(StatusFileName));
    }
  }

  void emptyUinSendsNothing() {
    StatusServiceProcess Service;
    QVERIFY2(Service.Running(), Service.Error().c_str());
    auto Form = MakeForm();
    Form->HttpCli1->SetProxy("127.0.0.1");
    Form->HttpCli1->SetProxyPort(std::to_string(Service.Port()));
    auto Seen = WhenModal(MessageBoxName, [](QDialog* D) { D->accept(); });
    Check(*Form, "");
    QVERIFY(Seen->Opened);
    QCOMPARE(Seen->Text, QStringLiteral("Invalid UIN."));
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string(MakerAddress));
    QVERIFY(!FileExists(StatusFileName));
    QCOMPARE(Form->focusWidget(), static_cast<QWidget*>(Form->Edit1));
    QTest::qWait(100);
    QVERIFY(Service.Requests().empty());
  }

  void enterInTheEditBoxChecks() {
    StatusServiceProcess Service({"--status", "4242=online"});
    QVERIFY2(Service.Running(), Service.Error().c_str());
    auto Form = MakeForm();
    Form->HttpCli1->SetProxy("127.0.0.1");
    Form->HttpCli1->SetProxyPort(std::to_string(Service.Port()));
    Form->Edit1->setText("4242");
    QTest::keyClick(Form->Edit1, Qt::Key_Return);
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string("4242 : Online"));
    Form->Edit1->setText("4242");
    Form->StatusBar1->SetSimpleText("");
    QTest::keyClick(Form->Edit1, Qt::Key_Enter);
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string("4242 : Online"));
    QCOMPARE(Service.Requests().size(), std::size_t(2));
  }

  void failedChecks() {
    // A 404, a connection closed without an answer, an answer slower than the time limit, and
    // a proxy that refuses the connection: each ends in the one failure text, and the
    // indicator keeps the last result.
    StatusServiceProcess Good({"--status", "1=online"});
    StatusServiceProcess NotFound({"--mode", "404"});
    StatusServiceProcess Closing({"--mode", "close"});
    StatusServiceProcess Slow({"--mode", "slow", "--delay-ms", "3000"});
    for (auto* S : {&Good, &NotFound, &Closing, &Slow}) QVERIFY2(S->Running(), S->Error().c_str());
    auto Form = MakeForm();
    Form->HttpCli1->SetProxy("127.0.0.1");
    Form->HttpCli1->SetProxyPort(std::to_string(Good.Port()));
    Check(*Form, "1");
    QCOMPARE(VisibleIndicator(*Form), 1);

    Form->HttpCli1->SetTimeLimit(500);
    for (auto* S : {&NotFound, &Closing, &Slow}) {
      Form->StatusBar1->SetSimpleText("");
      Form->HttpCli1->SetProxyPort(std::to_string(S->Port()));
      Check(*Form, "1");
      VerifyFailedCheck(*Form);
      QCOMPARE(VisibleIndicator(*Form), 1);
      QCOMPARE(S->Requests().size(), std::size_t(1));
    }
    Slow.Stop();
    Form->StatusBar1->SetSimpleText("");
    Form->HttpCli1->SetProxyPort(std::to_string(Slow.Port()));
    Check(*Form, "1");
    VerifyFailedCheck(*Form);

    // A file that cannot be made fails the same way: "_icq.gif" is a folder here.
    Form->HttpCli1->SetProxyPort(std::to_string(Good.Port()));
    QVERIFY(mkdir(StatusFileName, 0700) == 0);
    Form->StatusBar1->SetSimpleText("");
    Check(*Form, "1");
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string(CantConnectText));
    QVERIFY(Form->BitBtn1->isEnabled() && Form->Edit1->isEnabled());
    QVERIFY(rmdir(StatusFileName) == 0);
  }

  void proxyDialog() {
    auto Form = MakeForm();
    // Nothing stored: the dialog opens empty, and Cancel gives that back, which is invalid.
    auto Message = WhenModal(MessageBoxName, [](QDialog* D) { D->accept(); });
    auto Seen = SetProxy(*Form, std::nullopt);
    QTRY_VERIFY_WITH_TIMEOUT(Message->Opened, 5000);
    QVERIFY(Seen->Opened);
    QCOMPARE(Seen->Title, QStringLiteral("Set Proxy"));
    QCOMPARE(Seen->Text, QStringLiteral("Server:Port  Example: proxy.example.net:8080"));
    QCOMPARE(Seen->Initial, QString());
    QCOMPARE(Message->Text, QStringLiteral("Invalid proxy settings."));
    QCOMPARE(Stored(SettingProxy), std::string());

    struct Case {
      const char* Input;
      const char* Proxy;
      const char* Port;
    };
    for (const Case& C :
         {Case{"proxy.local:3128", "proxy.local", "3128"}, Case{":", "", ""},
          Case{"host:", "host", ""}, Case{":8080", "", "8080"}, Case{"a:b:c", "a", "b:c"}}) {
      SetProxy(*Form, QString::fromLatin1(C.Input));
      QCOMPARE(Stored(SettingProxy), std::string(C.Proxy));
      QCOMPARE(Stored(SettingPort), std::string(C.Port));
      QCOMPARE(Form->HttpCli1->Proxy(), std::string(C.Proxy));
      QCOMPARE(Form->HttpCli1->ProxyPort(), std::string(C.Port));
    }

    // A stored proxy and port: the dialog opens with them; Cancel stores the same again.
    WriteSettingValue(SettingsKeyPath, SettingProxy, "cache.lan");
    WriteSettingValue(SettingsKeyPath, SettingPort, "3128");
    Seen = SetProxy(*Form, std::nullopt);
    QCOMPARE(Seen->Initial, QStringLiteral("cache.lan:3128"));
    QCOMPARE(Stored(SettingProxy), std::string("cache.lan"));
    QCOMPARE(Form->HttpCli1->Proxy(), std::string("cache.lan"));
    QCOMPARE(Form->HttpCli1->ProxyPort(), std::string("3128"));

    // No colon: refused, nothing changes.
    Message = WhenModal(MessageBoxName, [](QDialog* D) { D->accept(); });
    SetProxy(*Form, QStringLiteral("barehost"));
    QTRY_VERIFY_WITH_TIMEOUT(Message->Opened, 5000);
    QCOMPARE(Message->Text, QStringLiteral("Invalid proxy settings."));
    QCOMPARE(Stored(SettingProxy), std::string("cache.lan"));
    QCOMPARE(Stored(SettingPort), std::string("3128"));

    // Only one of the two stored: the dialog opens empty.
    WriteSettingValue(SettingsKeyPath, SettingPort, "");
    Message = WhenModal(MessageBoxName, [](QDialog* D) { D->accept(); });
    Seen = SetProxy(*Form, std::nullopt);
    QCOMPARE(Seen->Initial, QString());
    QTRY_VERIFY_WITH_TIMEOUT(Message->Opened, 5000);
  }

  void firstRunCreatesTheKey() {
    QVERIFY(!FileExists(HivePath()));
    auto Form = MakeForm();
    QCOMPARE(Form->Edit1->text(), QString());
    QCOMPARE(Stored(SettingLeft), std::to_string(200));
    QCOMPARE(Stored(SettingTop), std::to_string(108));
    QCOMPARE(Form->HttpCli1->Proxy(), std::string());
    QCOMPARE(Form->HttpCli1->ProxyPort(), std::string());
    QVERIFY(HiveText().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ossmark\\Vantrel]") !=
            std::string::npos);
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string(MakerAddress));
  }

  void storedSettingsAreLoaded() {
    WriteHive(
        "\"UIN\"=\"987654321012\"\r\n\"Left\"=\"321\"\r\n\"Top\"=\"123\"\r\n"
        "\"Proxy\"=\"cache.lan\"\r\n\"Port\"=\"3128\"\r\n");
    auto Form = MakeForm();
    // A stored text longer than what can be typed is kept whole.
    QCOMPARE(Form->Edit1->text(), QStringLiteral("987654321012"));
    QCOMPARE(Form->Left(), 321);
    QCOMPARE(Form->Top(), 123);
    QCOMPARE(Form->HttpCli1->Proxy(), std::string("cache.lan"));
    QCOMPARE(Form->HttpCli1->ProxyPort(), std::string("3128"));
  }

  void storedPositionOffEveryScreen() {
    // Off every screen: moved onto the primary one. Partly on a screen: kept as stored.
    WriteHive("\"Left\"=\"5000\"\r\n\"Top\"=\"4000\"\r\n");
    auto Form = MakeForm();
    const QRect Area = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY2(Area.contains(QRect(Form->Left(), Form->Top(), Form->width(), Form->height())),
             qPrintable(QStringLiteral("at %1,%2").arg(Form->Left()).arg(Form->Top())));
    Form.reset();
    WriteHive("\"Left\"=\"-100\"\r\n\"Top\"=\"10\"\r\n");
    Form = MakeForm();
    QCOMPARE(QPoint(Form->Left(), Form->Top()), QPoint(-100, 10));
  }

  void badLeftStopsTheLoading() {
    WriteHive(
        "\"UIN\"=\"555\"\r\n\"Left\"=\"abc\"\r\n\"Top\"=\"77\"\r\n"
        "\"Proxy\"=\"cache.lan\"\r\n\"Port\"=\"3128\"\r\n");
    auto Form = MakeForm();
    QCOMPARE(Form->Edit1->text(), QStringLiteral("555"));
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string(CantConnectText));
    // The proxy was not read: the form's own settings stay.
    QCOMPARE(Form->HttpCli1->Proxy(), std::string());
    QCOMPARE(Form->HttpCli1->ProxyPort(), std::string("80"));
    QVERIFY(Form->isVisible());
    QVERIFY(Form->BitBtn1->isEnabled());
  }

  void valueOfAnotherType() {
    WriteHive(
        "\"UIN\"=\"555\"\r\n\"Left\"=\"10\"\r\n\"Top\"=\"20\"\r\n"
        "\"Proxy\"=dword:00000001\r\n\"Port\"=\"3128\"\r\n");
    const std::string Before = HiveText();
    auto Form = MakeForm();
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string(CantConnectText));
    QCOMPARE(Form->HttpCli1->ProxyPort(), std::string("80"));
    // The dialog reads the proxy too, and fails the same way; the odd value is kept.
    Form->StatusBar1->SetSimpleText("");
    Form->SetProxy1->trigger();
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string(CantConnectText));
    QCOMPARE(HiveText(), Before);
  }

  void settingsAfterClose() {
    WriteHive("\"Proxy\"=\"cache.lan\"\r\n\"Port\"=\"3128\"\r\n\"Other\"=hex:01,02\r\n");
    auto Form = MakeForm();
    Form->Edit1->setText("24680");
    Form->SetLeft(40);
    Form->SetTop(60);
    QVERIFY(Form->close());
    QCOMPARE(Stored(SettingUin), std::string("24680"));
    QCOMPARE(Stored(SettingLeft), std::string("40"));
    QCOMPARE(Stored(SettingTop), std::string("60"));
    QCOMPARE(Stored(SettingProxy), std::string("cache.lan"));
    QCOMPARE(Stored(SettingPort), std::string("3128"));
    QVERIFY(HiveText().find("\"Other\"=hex:01,02") != std::string::npos);
  }

  void closeWhenTheSettingsCannotBeStored() {
    auto Form = MakeForm();
    Form->Edit1->setText("13579");
    // The hive's place is taken by a folder: nothing can be written there.
    QVERIFY(std::remove(HivePath().c_str()) == 0);
    QVERIFY(mkdir(HivePath().c_str(), 0700) == 0);
    // The refusal says what went wrong and what the next close does.
    auto Seen = WhenModal(MessageBoxName, [](QDialog* D) { D->accept(); });
    QVERIFY(!Form->close());
    QVERIFY(Seen->Opened);
    QCOMPARE(Seen->Text, QString::fromStdString("Settings not saved: " + HivePath() +
                                                ": Is a directory. Close again to quit without "
                                                "saving."));
    QVERIFY(Form->isVisible());
    QCOMPARE(Form->StatusBar1->SimpleText(), std::string(CantConnectText));
    // The second request closes all the same.
    QVERIFY(Form->close());
    QVERIFY(!Form->isVisible());
    QVERIFY(rmdir(HivePath().c_str()) == 0);
  }
};

int main(int argc, char** argv) {
  auto Owned = std::make_unique<TQtApplication>(argc, argv);
  SetApplication(std::move(Owned));
  int Result;
  {
    WindowTest Test;
    Result = QTest::qExec(&Test, argc, argv);
  }
  SetApplication(nullptr);
  return Result;
}

#include "window_test.moc"
