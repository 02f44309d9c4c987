#include "tray/tray_icon.h"

#include "platform/text.h"

namespace tw {

namespace {

constexpr std::size_t kTipLength = 127;
constexpr std::size_t kOldTipLength = 63;
constexpr std::size_t kBalloonTitleLength = 63;
constexpr std::size_t kBalloonTextLength = 255;
// A balloon that asks for this long or longer is left to the desktop to take off.
constexpr int kLongBalloonMs = 10000;

}  // namespace

TTrayIcon::TTrayIcon(NotificationArea& area, TrayClock& clock, TrayWindow& window)
    : area_(area), clock_(clock), window_(window), balloons_(area.AcceptsBalloons()) {
  MakeTip();
  Set(tisHooked);
  AddIcon();
}

TTrayIcon::~TTrayIcon() {
  clock_.StopTimer(kClickTimer);
  clock_.StopTimer(kBalloonTimer);
  Clear(tisHooked);
  RemoveIcon();
}

// Every request goes through here. A refusal ends it at once; a busy desktop is
// asked again once a second, and an add (or delete) that the desktop already
// carried out while it seemed busy counts as done.
bool TTrayIcon::Notify(Command command, const std::function<TrayResult()>& call) {
  TrayResult result = call();
  if (result.ok) return true;
  if (result.error != kTrayErrorNone && result.error != kTrayErrorTimeout) return false;
  for (int attempt = 0; attempt < kRetries; ++attempt) {
    clock_.Wait(kRetryWaitMs);
    if (command == Command::Add && area_.ModifyTip(tip_).ok) return true;
    if (command == Command::Delete && !area_.ModifyTip(tip_).ok) return true;
    if (call().ok) return true;
  }
  return false;
}

void TTrayIcon::AddIcon() {
  if (Has(tisTrayIconVisible)) return;
  if (!Notify(Command::Add, [this] { return area_.Add(tip_); })) return;
  Set(tisTrayIconVisible);
}

void TTrayIcon::RemoveIcon() {
  if (!Has(tisTrayIconVisible)) return;
  if (Notify(Command::Delete, [this] { return area_.Delete(); })) Clear(tisTrayIconVisible);
}

void TTrayIcon::MakeTip() {
  const std::string head = hint_.substr(0, hint_.find('|'));
  tip_ = std::string(Utf8Prefix(head, balloons_ ? kTipLength : kOldTipLength));
}

void TTrayIcon::SetHint(const std::string& hint) {
  std::string text = hint;
  if (!balloons_) {
    // Desktops without balloons show one line only.
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 3) {
      text.replace(at, 2, " - ");
    }
  }
  if (text == hint_) return;
  hint_ = std::move(text);
  Set(tisHintChanged);
}

void TTrayIcon::BalloonHint(const std::string& title, const std::string& value, TBalloonType type,
                            int delayMs, bool cancelPrevious) {
  if (!Has(tisTrayIconVisible) || !balloons_) return;
  FTime = clock_.NowMs();
  FTimeDelay = delayMs / 1000;
  if (cancelPrevious) HideBalloon();
  BalloonRequest balloon{std::string(Utf8Prefix(title, kBalloonTitleLength)),
                         std::string(Utf8Prefix(value, kBalloonTextLength)), type, delayMs};
  if (!Notify(Command::Modify, [&] { return area_.ShowBalloon(balloon); })) return;
  const bool shown = !title.empty() || !value.empty();
  if (shown) {
    ++FBalloonCount;
  } else if (FBalloonCount > 0) {
    --FBalloonCount;
  }
  if (delayMs < kLongBalloonMs && shown) clock_.StartTimer(kBalloonTimer, delayMs);
}

// Each accepted empty request lowers the count, so clearing n counted balloons
// sends n + 1 of them.
void TTrayIcon::HideBalloon() {
  const int requests = FBalloonCount + 1;
  for (int i = 0; i < requests; ++i) BalloonHint({}, {}, TBalloonType::btNone, 5000, false);
}

void TTrayIcon::Callback(int code, const TrayPointer& pointer) {
  using namespace tray_code;
  auto up = [&](TMouseButton button) {
    if (Has(tisClicked)) {
      Clear(tisClicked);
      FClickedButton = button;
      FClickedShift = pointer.shift;
      FClickedX = pointer.x;
      FClickedY = pointer.y;
      if (!Has(tisWaitingForDoubleClick)) {
        Set(tisWaitingForDoubleClick);
        clock_.StartTimer(kClickTimer, clock_.DoubleClickTimeMs());
      }
    }
    if (OnMouseUp) OnMouseUp(*this, button, pointer.shift, pointer.x, pointer.y);
  };
  auto doubleClick = [&](TMouseButton button) {
    if (Has(tisWaitingForDoubleClick)) {
      Clear(tisWaitingForDoubleClick);
      clock_.StopTimer(kClickTimer);
    }
    if (OnDblClick) OnDblClick(*this, button, pointer.shift, pointer.x, pointer.y);
  };
  switch (code) {
    case kMouseMove:
      if (!Has(tisHintChanged)) return;
      Clear(tisHintChanged);
      MakeTip();
      if (Has(tisTrayIconVisible))
        Notify(Command::Modify, [this] { return area_.ModifyTip(tip_); });
      return;
    case kLButtonDown:
    case kRButtonDown:
    case kMButtonDown:
      Set(tisClicked);
      return;
    case kLButtonUp:
      return up(TMouseButton::mbLeft);
    case kRButtonUp:
      return up(TMouseButton::mbRight);
    case kMButtonUp:
      return up(TMouseButton::mbMiddle);
    case kLButtonDblClk:
      return doubleClick(TMouseButton::mbLeft);
    case kRButtonDblClk:
      return doubleClick(TMouseButton::mbRight);
    case kMButtonDblClk:
      return doubleClick(TMouseButton::mbMiddle);
    case kBalloonTimeout:
      // The desktop may report the end of an earlier balloon just after a new one
      // was asked for: only a balloon that has had its time goes.
      if ((clock_.NowMs() - FTime) / 1000 > FTimeDelay) HideBalloon();
      return;
    case kBalloonUserClick:
      HideBalloon();
      return;
    case kBalloonHide:  // the desktop took it off itself
    case kContextMenu:  // the icon has no menu
    case kKeySelect:
    default:
      return;
  }
}

void TTrayIcon::TimerFired(int id) {
  if (id == kBalloonTimer) {
    clock_.StopTimer(kBalloonTimer);
    HideBalloon();
  } else if (id == kClickTimer) {
    clock_.StopTimer(kClickTimer);
    if (!Has(tisWaitingForDoubleClick)) return;
    Clear(tisWaitingForDoubleClick);
    // A single click only restores the window (the program's handler does): it
    // never hides it again, whatever state the window was in.
    if (OnClick) OnClick(*this, FClickedButton, FClickedShift, FClickedX, FClickedY);
  }
}

void TTrayIcon::TaskbarCreated() {
  RemoveIcon();
  AddIcon();
}

void TTrayIcon::EndSession(bool ending) {
  if (ending) {
    RemoveIcon();
  } else {
    AddIcon();
  }
}

void TTrayIcon::MinimizeCommand() {
  if (Has(tisHooked)) HideApplication();
}

void TTrayIcon::HideApplication() {
  // No caption animation towards the tray on this desktop.
  if (window_.IsVisible() && !window_.IsMinimized()) {
    window_.Hide();
    window_.MinimizeApplication();
  }
  window_.Hide();
}

void TTrayIcon::ShowApplication() { window_.Restore(); }

}  // namespace tw
