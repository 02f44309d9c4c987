// The player as tests run it: the real start-up, window and shutdown, with each
// message box printed to standard output (one line) and answered with OK, and a
// line when the message loop runs.
#include <cstdio>

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
  };
  return tw::RunTunewell(argc, argv, hooks);
}
