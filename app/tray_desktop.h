// The tray icon's desktop on this platform: the icon on QSystemTrayIcon (XEmbed
// and StatusNotifierItem tray hosts), balloons as freedesktop notifications (or
// Qt's own balloon without a notification service), timers on QTimer. UI thread
// only; nothing here waits on the notification service.
#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>
#include <map>

#include "tray/tray_icon.h"

class QTimer;

namespace tw {

class DesktopNotificationArea : public QObject, public NotificationArea {
  Q_OBJECT

 public:
  explicit DesktopNotificationArea(const QIcon& icon, QObject* parent = nullptr);
  ~DesktopNotificationArea() override;

  TrayResult Add(const std::string& tip) override;
  TrayResult ModifyTip(const std::string& tip) override;
  TrayResult ShowBalloon(const BalloonRequest& balloon) override;
  TrayResult Delete() override;
  bool AcceptsBalloons() override;

  // A song notification while no tray host holds the icon (stock GNOME): straight
  // to the notification service, replacing the last one as balloons do. False
  // when no service is there.
  bool NotifyWithoutIcon(const std::string& title, const std::string& text, int timeoutMs);

  // Whether a tray host is there to show the icon.
  bool HostPresent() const { return hostPresent_; }
  // Looks whether the tray host came or went since the last look.
  void CheckHost();

  // Callback codes for the icon (tray_code), with the pointer and the keys held.
  std::function<void(int code, const TrayPointer& pointer)> onCallback;
  // The tray host went away (false) or came (true).
  std::function<void(bool present)> onHostChanged;
  // Set: song notifications offer "Save" where the service shows actions, and
  // this gets the notification's text when it is chosen.
  std::function<void(const std::string& text)> onSaveAction;

 private slots:
  void NotificationClosed(uint id, uint reason);
  void ActionInvoked(uint id, const QString& action);
  void TrayWindowChanged();

 private:
  void Activated(QSystemTrayIcon::ActivationReason reason);
  void Deliver(int code);
  void WatchNotificationService();
  void CloseNotification();
  void AskCapabilities();
  void Notify(const std::string& title, const std::string& text, int timeoutMs);

  QSystemTrayIcon icon_;
  QIcon picture_;
  bool hostPresent_ = false;
  bool notifications_ = false;  // a service owns org.freedesktop.Notifications
  bool markup_ = true;          // it reads markup in the body (most do)
  bool actions_ = false;        // it shows actions
  std::string lastText_;        // the last balloon's text
  uint lastId_ = 0;             // the last balloon's notification, replaced by the next
  bool open_ = false;           // lastId_ is on the screen
  uint serviceRun_ = 0;         // counts the service's owners: ids are theirs alone
};

class DesktopTrayClock : public QObject, public TrayClock {
 public:
  explicit DesktopTrayClock(QObject* parent = nullptr) : QObject(parent) {}

  int64_t NowMs() override;
  void Wait(int ms) override;
  void StartTimer(int id, int ms) override;
  void StopTimer(int id) override;
  int DoubleClickTimeMs() override;

  std::function<void(int id)> onTimer;

 private:
  std::map<int, QTimer*> timers_;
};

}  // namespace tw
