#include "app/run_tunewell.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <csignal>

#include "app/Sdoppelt.h"
#include "app/Unit1.h"
#include "app/mpris.h"
#include "app/network_watch.h"
#include "app/player_controls.h"
#include "app/suspend_inhibitor.h"
#include "platform/files_folder.h"
#include "platform/program_folder.h"

namespace tw {

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminate(int) {
  char byte = 1;
  // Only async-signal-safe work here; the UI thread closes the window.
  ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
  (void)ignored;
}

// SIGTERM and SIGINT (logout, "kill", Ctrl+C in a terminal) close the window the
// normal way, so the settings are saved as on a click on Close. The handler is
// installed first thing; a request that comes before the application exists
// waits in the pipe.
void CatchTerminateSignals() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

// UI thread only.
struct TerminateRequest {
  bool requested = false;
  PlayerControls* player = nullptr;  // the main window, once start-up is over
};

// Watched from the moment the application exists, so that a box shown during
// start-up (a fatal one waits for OK) does not keep the program from ending:
// open boxes close, and start-up then ends as it would after OK. Once start-up
// is over the player quits as its Quit command does, whatever the window's state;
// a second request changes nothing.
void WatchTerminateSignals(QApplication& app, TerminateRequest& request) {
  if (g_signalPipe[0] < 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [&request] {
    char byte;
    ssize_t ignored = ::read(g_signalPipe[0], &byte, 1);
    (void)ignored;
    request.requested = true;
    if (request.player) {
      request.player->Quit();
    } else {
      QApplication::closeAllWindows();
    }
  });
}

}  // namespace

int RunTunewell(int argc, char** argv, const RunHooks& hooks) {
  CatchTerminateSignals();
  const std::string refusal = AcquireSingleInstance();
  // On X11, Qt hands each repaint to the server through shared memory and,
  // before the next paint, waits for the server to have read it: a round trip
  // that blocks this thread on every oscilloscope frame. The box is small, so
  // sending its pixels over the connection costs less and seldom waits. A
  // value the user set is kept.
  if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
  QApplication app(argc, argv);
  QApplication::setApplicationName("tunewell");
  // No display name: Qt would append it to every window's caption.
  if (hooks.boxes) SetMessageBoxHook(hooks.boxes);
  TerminateRequest terminate;
  WatchTerminateSignals(app, terminate);

  if (!refusal.empty()) {
    // A click on the launcher must not be lost on a window hidden in the tray.
    const bool running = refusal == kAlreadyRunningMessage;
    if (running) AskRunningCopyToRaise();
    ShowMessageBox({nullptr, QString::fromStdString(refusal), {}, BoxIcon::Warning});
    if (running) FlushRaiseRequest(2000);
    return 0;
  }

  TForm1 form(FilesFolder(ProgramFolder()),
              TrayDesktopParts{nullptr, nullptr, hooks.timer1PeriodMs});
  form.FormCreate();
  // Remote controls reach the player through PlayerControls only.
  PlayerControls& controls = form;
  Mpris mpris(controls);
  mpris.Register();
  SuspendInhibitor inhibitor(controls);
  // The network's return and the computer's wake-up make a station that waits
  // to reconnect try at once.
  NetworkWatch network;
  QObject::connect(&controls.Signals(), &PlayerSignals::StateChanged, &network,
                   [&] { network.SetPlaying(controls.PlaybackActive()); });
  // "S&tart in system tray" leaves only the icon.
  if (!form.startsHidden()) form.show();
  terminate.player = &controls;
  if (terminate.requested) controls.Quit();
  if (hooks.onRunning) QTimer::singleShot(0, &form, hooks.onRunning);
  app.exec();
  return 0;
}

}  // namespace tw
