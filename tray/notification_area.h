// What the tray icon needs from the desktop: its notification area, its clock and
// the window the icon hides and shows. Plain interfaces, so that the icon's rules
// run the same against the real desktop and against a test's fake one.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

// Error codes a notification-area request can end with.
inline constexpr int kTrayErrorNone = 0;
// The desktop was busy: the request may be tried again.
inline constexpr int kTrayErrorTimeout = 1460;
// No tray host, or it refused the icon: trying again will not help.
inline constexpr int kTrayErrorRefused = 1;

struct TrayResult {
  bool ok = false;
  int error = kTrayErrorNone;
};

// The icon's picture in a balloon: btNone shows no picture.
enum class TBalloonType { btNone, btError, btInfo, btWarning };

struct BalloonRequest {
  std::string title;  // UTF-8, at most 63 characters
  std::string text;   // UTF-8, at most 255 characters
  TBalloonType type = TBalloonType::btNone;
  int timeoutMs = 0;
};

// The desktop's notification area. Every call runs on the UI thread and returns
// at once with its outcome.
class NotificationArea {
 public:
  virtual ~NotificationArea() = default;
  // Puts the icon into the notification area with the given tooltip.
  virtual TrayResult Add(const std::string& tip) = 0;
  virtual TrayResult ModifyTip(const std::string& tip) = 0;
  // A request with an empty title and text takes the balloon off the screen.
  virtual TrayResult ShowBalloon(const BalloonRequest& balloon) = 0;
  virtual TrayResult Delete() = 0;
  // Whether the desktop shows balloons at all.
  virtual bool AcceptsBalloons() = 0;
};

// Time, timers and waits, injected so that tests never wait for real.
class TrayClock {
 public:
  virtual ~TrayClock() = default;
  virtual int64_t NowMs() = 0;
  // Blocks the calling (UI) thread.
  virtual void Wait(int ms) = 0;
  // A timer of the icon: when it fires, the clock calls TTrayIcon::TimerFired(id)
  // until it is stopped. Starting a running timer starts it over.
  virtual void StartTimer(int id, int ms) = 0;
  virtual void StopTimer(int id) = 0;
  virtual int DoubleClickTimeMs() = 0;
};

// The main window as the icon sees it.
class TrayWindow {
 public:
  virtual ~TrayWindow() = default;
  virtual bool IsVisible() = 0;
  virtual bool IsMinimized() = 0;
  virtual void Hide() = 0;
  // Minimises the application, which runs its minimise handler.
  virtual void MinimizeApplication() = 0;
  // Shows the window again, normal state, in front.
  virtual void Restore() = 0;
};

}  // namespace tw
