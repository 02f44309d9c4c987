// The player as tests run it: the real start-up, window and shutdown, with each
// message box printed to standard output (one line) and answered with OK, and a
// line when the message loop runs, and the status lines of the window, the tray
// icon's tooltip and Qt's balloon printed whenever they change, as they are on
// screen.
#include <QApplication>
#include <QLabel>
#include <QTextDocument>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "app/run_tunewell.h"

int main(int argc, char** argv) {
  tw::RunHooks hooks;
  hooks.boxes = [](const tw::BoxRequest& box) {
    QByteArray text = box.text.toUtf8().replace("\r\n", "\\r\\n");
    std::printf("BOX icon=%s owner=%s title=[%s] text=[%s]\n", tw::BoxIconName(box.icon),
                box.owner ? "window" : "none", box.title.toUtf8().constData(), text.constData());
    std::fflush(stdout);
  };
  hooks.onRunning = [] {
    std::printf("RUNNING\n");
    std::fflush(stdout);
    auto* watch = new QTimer(qApp);
    QObject::connect(watch, &QTimer::timeout, [] {
      static std::map<QString, QString> shown;
      for (QWidget* window : QApplication::topLevelWidgets()) {
        // The tray icon's tooltip as Qt's tooltip would show it (XEmbed hosts),
        // and Qt's own balloon (no notification service).
        QString seen;
        const char* what = nullptr;
        if (window->objectName() == "QSystemTrayIconSys") {
          what = "TIP";
          seen = window->toolTip();
          if (Qt::mightBeRichText(seen)) {
            QTextDocument document;
            document.setHtml(seen);
            seen = document.toPlainText();
          }
        } else if (window->inherits("QBalloonTip") && window->isVisible()) {
          what = "BALLOON";
          for (const QLabel* label : window->findChildren<QLabel*>()) seen += label->text() + "|";
        }
        if (what && shown[what] != seen) {
          shown[what] = seen;
          std::printf("%s=[%s]\n", what, seen.toUtf8().constData());
          std::fflush(stdout);
        }
        for (const char* name : {"Label3", "Label4", "Label5"}) {
          auto* label = window->findChild<QLabel*>(name);
          if (!label || shown[name] == label->text()) continue;
          shown[name] = label->text();
          std::printf("%s=[%s]\n", name, label->text().toUtf8().constData());
          std::fflush(stdout);
        }
      }
    });
    watch->start(20);
  };
  // The tray tests wait for Timer1's ticks; they give it a shorter period.
  if (const char* period = std::getenv("TW_TEST_TIMER1_MS"))
    hooks.timer1PeriodMs = std::atoi(period);
  return tw::RunTunewell(argc, argv, hooks);
}
