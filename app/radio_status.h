// The one way other threads reach the main window: a synchronous status send.
// The sender waits until the window has handled the status, so a text pointer into
// the sender's stack stays valid for the call.
#pragma once

#include <cstdint>

class QObject;

namespace tw {

// What receives status sends and monitor timer calls (the main window). Its
// calls run on the thread of StatusContext().
class RadioStatusTarget {
 public:
  virtual ~RadioStatusTarget() = default;
  // Shows a status: code and value (a number or a pointer to NUL-terminated
  // 8-bit text), with the sender's engine error code.
  virtual void RadioStatus(int code, intptr_t value, int senderError) = 0;
  // The MonitorTimer; UI thread only.
  virtual void StartMonitor(int periodMs) = 0;
  virtual void StopMonitor() = 0;
  // The object whose thread runs the calls above.
  virtual QObject* StatusContext() = 0;
};

// The target of status sends; set once at start-up before any worker or engine
// callback exists, cleared when the window goes.
void SetRadioStatusTarget(RadioStatusTarget* target);

// Runs the target's status handler with code and value, directly on the UI
// thread, else by a blocking queued call. Carries the sender's engine error code
// along, since engine error codes are per thread. Does nothing when no target
// is set.
void SendRadioStatus(int code, intptr_t value);

// The target's MonitorTimer, from any thread: directly on the UI thread, else
// posted to it, which keeps the order with this thread's status sends.
void StartMonitorTimer(int periodMs);
void StopMonitorTimer();

}  // namespace tw
