// The process entry: the single-instance guard, the application, the main window
// with its start-up, the message loop, and the shutdown.
#pragma once

#include <functional>

#include "ui/message_box.h"

namespace tw {

struct RunHooks {
  BoxHook boxes;                    // answers message boxes (test builds)
  std::function<void()> onRunning;  // called once the message loop runs
  int timer1PeriodMs = 0;           // Timer1's period, shortened by test builds
};

int RunTunewell(int argc, char** argv, const RunHooks& hooks = {});

}  // namespace tw
