#include "app/run_tunewell.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>

#include "app/Sdoppelt.h"
#include "app/Unit1.h"
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
// installed first thing; a request that comes during start-up waits in the pipe
// until the message loop runs.
void CatchTerminateSignals() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void CloseOnTerminateSignals(QWidget* window) {
  if (g_signalPipe[0] < 0) return;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
    char byte;
    ssize_t ignored = ::read(g_signalPipe[0], &byte, 1);
    (void)ignored;
    // Open boxes close too: a box waiting for the user must not keep the
    // program from ending.
    QApplication::closeAllWindows();
    window->close();
  });
}

}  // namespace

int RunTunewell(int argc, char** argv, const RunHooks& hooks) {
  CatchTerminateSignals();
  const bool first = AcquireSingleInstance();
  QApplication app(argc, argv);
  QApplication::setApplicationName("tunewell");
  QApplication::setApplicationDisplayName("Tunewell");
  if (hooks.boxes) SetMessageBoxHook(hooks.boxes);

  if (!first) {
    ShowMessageBox({nullptr, kAlreadyRunningMessage, {}, BoxIcon::Warning});
    return 0;
  }

  TForm1 form(ProgramFolder());
  form.FormCreate();
  // The start-in-tray option may hide the window; it is shown otherwise.
  form.show();
  CloseOnTerminateSignals(&form);
  if (hooks.onRunning) QTimer::singleShot(0, &form, hooks.onRunning);
  app.exec();
  return 0;
}

}  // namespace tw
