// Shows the window, runs one check of a UIN through a proxy, and saves a picture of the window:
//   vantrel_window_snapshot PROXY_HOST:PORT UIN OUT.png
// Used by scripts/screenshot.sh under Xvfb. The settings are the caller's (set XDG_CONFIG_HOME).
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <cstdio>
#include <memory>

#include "QtApplication.h"
#include "SettingsStore.h"
#include "icq.h"

using namespace vantrel;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vantrel_window_snapshot PROXY_HOST:PORT UIN OUT.png\n");
    return 64;
  }
  const std::string ProxySetting = argv[1], Uin = argv[2], Out = argv[3];
  auto Owned = std::make_unique<TQtApplication>(argc, argv);
  TQtApplication& App = *Owned;
  SetApplication(std::move(Owned));
  int Code = 0;
  {
    auto Form = std::make_unique<TForm1>();
    std::string Proxy, Port;
    SplitProxySetting(ProxySetting, Proxy, Port);
    Form->HttpCli1->SetProxy(Proxy);
    Form->HttpCli1->SetProxyPort(Port);
    Form->show();
    if (!QTest::qWaitForWindowExposed(Form.get(), 5000)) std::fprintf(stderr, "window not shown\n");
    Form->Edit1->setText(QString::fromStdString(Uin));
    QTest::mouseClick(Form->BitBtn1, Qt::LeftButton);
    App.ProcessMessages();
    QTest::qWait(300);
    std::printf("%s\n", Form->StatusBar1->SimpleText().c_str());
    // Scaled up four times: the window is small.
    const QPixmap Shot = Form->grab();
    if (!Shot.scaled(Shot.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation)
             .save(QString::fromStdString(Out)))
      Code = 1;
  }
  SetApplication(nullptr);
  return Code;
}
