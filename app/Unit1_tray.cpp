// The window's side of the tray: the icon and its handlers, song balloons and
// the tooltip, minimising into the tray and coming back.
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QTimer>
#include <functional>

#include "app/Unit1.h"
#include "app/tray_desktop.h"

// The main window as the tray icon sees it.
class TForm1::TrayWindowOf : public tw::TrayWindow {
 public:
  explicit TrayWindowOf(TForm1& form) : form_(form) {}
  bool IsVisible() override { return form_.isVisible(); }
  bool IsMinimized() override { return form_.isMinimized(); }
  void Hide() override { form_.hide(); }
  void MinimizeApplication() override { form_.HideToTray(); }
  void Restore() override { form_.RestoreWindow(); }

 private:
  TForm1& form_;
};

void TForm1::CreateTray(TrayDesktopParts tray) {
  if (!tray.area) {
    auto area = std::make_unique<tw::DesktopNotificationArea>(windowIcon());
    desktopArea_ = area.get();
    tray.area = area.get();
    ownArea_ = std::move(area);
  }
  if (!tray.clock) {
    auto clock = std::make_unique<tw::DesktopTrayClock>();
    clock->onTimer = [this](int id) {
      if (TrayIcon1) TrayIcon1->TimerFired(id);
    };
    tray.clock = clock.get();
    ownClock_ = std::move(clock);
  }
  trayWindow_ = std::make_unique<TrayWindowOf>(*this);
  TrayIcon1 = std::make_unique<tw::TTrayIcon>(*tray.area, *tray.clock, *trayWindow_);
  using namespace std::placeholders;
  TrayIcon1->OnClick = std::bind(&TForm1::TrayIcon1Click, this, _1, _2, _3, _4, _5);
  TrayIcon1->OnDblClick = std::bind(&TForm1::TrayIcon1DblClick, this, _1, _2, _3, _4, _5);
  TrayIcon1->OnMouseUp = std::bind(&TForm1::TrayIcon1MouseUp, this, _1, _2, _3, _4, _5);
  if (desktopArea_) {
    desktopArea_->onCallback = [this](int code, const tw::TrayPointer& pointer) {
      TrayIcon1->Callback(code, pointer);
    };
    desktopArea_->onHostChanged = [this](bool present) {
      if (present) {
        TrayIcon1->TaskbarCreated();
      } else {
        TrayIcon1->TaskbarGone();
      }
      // Nothing must stay hidden without an icon to bring it back.
      if (!TrayReady() && !isVisible() && started_) RestoreWindow();
    };
  }
}

void TForm1::AnnounceTitle() {
  const std::string title = Label3->text().toStdString();
  if (title == lied) return;
  if (CheckBox3->isChecked()) return;
  if (!timerum) return;
  if (TrayIcon1->IconVisible() || !desktopArea_) {
    TrayIcon1->BalloonHint("Tunewell", title, tw::TBalloonType::btNone, 5000, false);
  } else {
    // No tray host holds the icon (stock GNOME), yet the desktop may well show
    // notifications: the song goes there, by the same rules.
    desktopArea_->NotifyWithoutIcon("Tunewell", title, 5000);
  }
  // Kept whole, so that a long title or one in any script counts as announced.
  lied = title;
  timerum = false;
}

void TForm1::Timer1Timer() {
  timerum = true;
  TrayIcon1->SetHint(lied);
  if (desktopArea_) {
    // Tray hosts ask for the tooltip themselves: send a new one at once.
    TrayIcon1->SendChangedTip();
    // A tray host that came or went without telling (StatusNotifierItem hosts).
    desktopArea_->CheckHost();
  }
}

void TForm1::TrayIcon1MouseUp(tw::TTrayIcon&, tw::TMouseButton, tw::TShiftState, int, int) {
  TrayIcon1->SetHint(lied);
  if (desktopArea_) TrayIcon1->SendChangedTip();
}

void TForm1::TrayIcon1Click(tw::TTrayIcon&, tw::TMouseButton, tw::TShiftState, int, int) {
  RestoreWindow();
}

void TForm1::TrayIcon1DblClick(tw::TTrayIcon&, tw::TMouseButton, tw::TShiftState, int, int) {
  RestoreWindow();
}

bool TForm1::TrayReady() const {
  return TrayIcon1 && TrayIcon1->IconVisible() && (!desktopArea_ || desktopArea_->HostPresent());
}

void TForm1::HideToTray() {
  if (!TrayReady()) return;
  hidingToTray_ = true;
  hide();
  setWindowState(windowState() | Qt::WindowMinimized);
  hidingToTray_ = false;
}

void TForm1::RestoreWindow() {
  // Normal first: a minimised window would be shown as an icon.
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
  // The station editor is modal: it comes to the front, not the window under it.
  if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != this) {
    if (modal->isVisible() && modal->isEnabled()) {
      modal->raise();
      modal->activateWindow();
    }
  }
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || hidingToTray_) return;
  if (!minimizeHandlerInstalled_ || !isMinimized() || !isVisible()) return;
  // A minimise from the title bar, the keyboard or the window manager: the
  // window goes into the tray. Hiding inside the state change itself confuses
  // some window managers, so it waits for the next turn of the event loop.
  QTimer::singleShot(0, this, [this] {
    if (!isMinimized() || !TrayReady()) return;
    TrayIcon1->MinimizeCommand();
    HideToTray();
  });
}
