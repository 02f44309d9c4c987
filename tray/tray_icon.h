// TTrayIcon: the program's icon in the desktop's notification area, with its
// tooltip, balloons, mouse events and the minimise-to-tray watch. Plain C++: the
// desktop, the clock and the main window come in through the interfaces of
// notification_area.h. UI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tray/notification_area.h"

namespace tw {

// The callback codes the notification area reports for the icon (the values the
// desktop's own messages have, so a code table reads the same everywhere).
namespace tray_code {
inline constexpr int kMouseMove = 0x200;
inline constexpr int kLButtonDown = 0x201;
inline constexpr int kLButtonUp = 0x202;
inline constexpr int kLButtonDblClk = 0x203;
inline constexpr int kRButtonDown = 0x204;
inline constexpr int kRButtonUp = 0x205;
inline constexpr int kRButtonDblClk = 0x206;
inline constexpr int kMButtonDown = 0x207;
inline constexpr int kMButtonUp = 0x208;
inline constexpr int kMButtonDblClk = 0x209;
inline constexpr int kContextMenu = 0x7B;
inline constexpr int kKeySelect = 0x401;
inline constexpr int kBalloonHide = 0x403;
inline constexpr int kBalloonTimeout = 0x404;
inline constexpr int kBalloonUserClick = 0x405;
}  // namespace tray_code

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

// Shift state as bits: keys held and buttons down when a callback arrived.
enum TShiftBits : unsigned {
  ssShift = 1,
  ssAlt = 2,
  ssCtrl = 4,
  ssLeft = 8,
  ssRight = 16,
  ssMiddle = 32,
};
using TShiftState = unsigned;

// Where the pointer was and what was held when a callback arrived (read by the
// desktop side when it delivers the callback).
struct TrayPointer {
  int x = 0;
  int y = 0;
  TShiftState shift = 0;
};

class TTrayIcon {
 public:
  using MouseEvent =
      std::function<void(TTrayIcon& sender, TMouseButton button, TShiftState shift, int x, int y)>;

  // The icon's state bits.
  enum TTrayIconState : unsigned {
    tisTrayIconVisible = 1,
    tisHooked = 2,
    tisHintChanged = 4,
    tisClicked = 8,
    tisWaitingForDoubleClick = 16,
  };

  // The icon's timers.
  static constexpr int kBalloonTimer = 2;
  static constexpr int kClickTimer = 3;
  static constexpr int kRetries = 31;
  static constexpr int kRetryWaitMs = 1000;

  // The icon is active: it is added here, while the main window is being created,
  // and the minimise watch is installed.
  TTrayIcon(NotificationArea& area, TrayClock& clock, TrayWindow& window);
  // Stops timers 3 and 2, removes the minimise watch and the icon.
  virtual ~TTrayIcon();
  TTrayIcon(const TTrayIcon&) = delete;
  TTrayIcon& operator=(const TTrayIcon&) = delete;

  MouseEvent OnClick;
  MouseEvent OnDblClick;
  MouseEvent OnMouseUp;

  // The text the tooltip is made from. Writing a different text marks the tooltip
  // for sending; an equal one costs nothing.
  void SetHint(const std::string& hint);
  const std::string& Hint() const { return hint_; }

  void BalloonHint(const std::string& title, const std::string& value, TBalloonType type,
                   int delayMs, bool cancelPrevious);
  void HideBalloon();
  bool AcceptBalloons() { return area_.AcceptsBalloons(); }

  // Desktop events, delivered by the desktop side.
  void Callback(int code, const TrayPointer& pointer = {});
  void TimerFired(int id);
  // The tray host came (back): the icon is removed and added again.
  void TaskbarCreated();
  // The tray host went away, and the icon with it.
  void TaskbarGone() { Clear(tisTrayIconVisible); }
  // The session ends (true) or its end was cancelled (false).
  void EndSession(bool ending);
  // The main window is being minimised; with the watch installed it goes to the tray.
  void MinimizeCommand();

  // The tooltip is sent on the next pointer move over the icon; desktops that ask
  // for the tooltip themselves call this right after a change.
  void SendChangedTip() { Callback(tray_code::kMouseMove); }

  virtual void HideApplication();
  virtual void ShowApplication();

  unsigned State() const { return state_; }
  bool IconVisible() const { return (state_ & tisTrayIconVisible) != 0; }
  int BalloonCount() const { return FBalloonCount; }
  // The tooltip as last made from Hint.
  const std::string& Tip() const { return tip_; }

 private:
  enum class Command { Add, Modify, Delete };
  bool Notify(Command command, const std::function<TrayResult()>& call);
  void AddIcon();
  void RemoveIcon();
  void MakeTip();
  void Set(unsigned bits) { state_ |= bits; }
  void Clear(unsigned bits) { state_ &= ~bits; }
  bool Has(unsigned bits) const { return (state_ & bits) != 0; }

  NotificationArea& area_;
  TrayClock& clock_;
  TrayWindow& window_;
  // Read once: whether the desktop shows balloons (without them the tooltip is
  // one short line).
  const bool balloons_;
  unsigned state_ = 0;
  std::string hint_;
  std::string tip_;
  TMouseButton FClickedButton = TMouseButton::mbLeft;
  TShiftState FClickedShift = 0;
  int FClickedX = 0;
  int FClickedY = 0;
  int FBalloonCount = 0;
  int64_t FTime = 0;   // ms of the clock
  int FTimeDelay = 0;  // s
};

}  // namespace tw
