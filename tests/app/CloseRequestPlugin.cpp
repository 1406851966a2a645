// Plays the window manager's part for the tests that run the real program: once a top-level
// window is shown, it hands that window a close request, which is how a window manager's close
// (the title-bar button, Alt+F4) reaches a Qt window. Loaded into the program under test with
// QT_PLUGIN_PATH pointing at this build folder and QT_QPA_GENERIC_PLUGINS=closerequest.
#include <QCloseEvent>
#include <QGenericPlugin>
#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

namespace {

class CloseRequestPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "CloseRequestPlugin.json")

 public:
  QObject* create(const QString&, const QString&) override {
    // Qt deletes what a generic plugin creates when the application goes. The timer polls until
    // a window is shown, then asks it once to close.
    auto* Timer = new QTimer;
    Timer->setInterval(50);
    QObject::connect(Timer, &QTimer::timeout, Timer, [Timer] {
      for (QWindow* Window : QGuiApplication::topLevelWindows()) {
        if (Window->isVisible() && Window->type() == Qt::Window) {
          QCoreApplication::postEvent(Window, new QCloseEvent);
          Timer->stop();
          return;
        }
      }
    });
    Timer->start();
    return Timer;
  }
};

}  // namespace

#include "CloseRequestPlugin.moc"
