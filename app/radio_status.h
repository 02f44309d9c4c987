// The one way other threads reach the main window: a synchronous status send.
// The sender waits until the window has handled the status, so a text pointer into
// the sender's stack stays valid for the call.
#pragma once

#include <cstdint>

class TForm1;

namespace tw {

// The window that receives status sends; set once at start-up before any worker
// or engine callback exists, cleared when the window goes.
void SetRadioStatusTarget(TForm1* form);

// Runs the window's status handler with code and value (a number or a pointer to
// NUL-terminated 8-bit text), directly on the UI thread, else by a blocking
// queued call. Carries the sender's engine error code along, since engine error
// codes are per thread. Does nothing when no window is set.
void SendRadioStatus(int code, intptr_t value);

// The window's MonitorTimer, from any thread: directly on the UI thread, else
// posted to it, which keeps the order with this thread's status sends.
void StartMonitorTimer(int periodMs);
void StopMonitorTimer();

}  // namespace tw
