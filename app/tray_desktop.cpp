#include "app/tray_desktop.h"

#include <QCursor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QGuiApplication>
#include <QImage>
#include <QStyleHints>
#include <QThread>
#include <QTimer>

#include "app/tray_tooltip.h"
#include "platform/text.h"

namespace {

const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";
// A notification service that does not answer is given up on after this long;
// the answer (the balloon's id) is only needed to replace it with the next one.
constexpr int kCallTimeoutMs = 3000;
constexpr int kNotificationIconSize = 64;

// The "image-data" hint: the program's icon as pixels, so that no icon file
// has to be installed for the notification to show it.
struct NotificationImage {
  int width = 0;
  int height = 0;
  int stride = 0;
  bool alpha = true;
  int bitsPerSample = 8;
  int channels = 4;
  QByteArray data;
};

QDBusArgument& operator<<(QDBusArgument& out, const NotificationImage& image) {
  out.beginStructure();
  out << image.width << image.height << image.stride << image.alpha << image.bitsPerSample
      << image.channels << image.data;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, NotificationImage& image) {
  in.beginStructure();
  in >> image.width >> image.height >> image.stride >> image.alpha >> image.bitsPerSample >>
      image.channels >> image.data;
  in.endStructure();
  return in;
}

NotificationImage ImageOf(const QIcon& icon) {
  const QImage pixels = icon.pixmap(kNotificationIconSize, kNotificationIconSize)
                            .toImage()
                            .convertToFormat(QImage::Format_RGBA8888);
  NotificationImage image;
  image.width = pixels.width();
  image.height = pixels.height();
  image.stride = static_cast<int>(pixels.bytesPerLine());
  image.data = QByteArray(reinterpret_cast<const char*>(pixels.constBits()),
                          static_cast<qsizetype>(pixels.sizeInBytes()));
  return image;
}

}  // namespace

Q_DECLARE_METATYPE(NotificationImage)

namespace tw {

DesktopNotificationArea::DesktopNotificationArea(const QIcon& icon, QObject* parent)
    : QObject(parent), icon_(icon), picture_(icon) {
  hostPresent_ = QSystemTrayIcon::isSystemTrayAvailable();
  connect(&icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
  connect(&icon_, &QSystemTrayIcon::messageClicked, this,
          [this] { Deliver(tray_code::kBalloonUserClick); });
  if (QGuiApplication::platformName() == "xcb") {
    // The X11 side announces a tray host that comes or goes. Its interface
    // object's header is not public, but it is a QObject and the signal is named.
    auto* native = reinterpret_cast<QObject*>(QGuiApplication::platformNativeInterface());
    if (native && native->metaObject()->indexOfSignal("systemTrayWindowChanged(QScreen*)") >= 0) {
      connect(native, SIGNAL(systemTrayWindowChanged(QScreen*)), this, SLOT(TrayWindowChanged()));
    }
  }
  WatchNotificationService();
}

DesktopNotificationArea::~DesktopNotificationArea() { CloseNotification(); }

void DesktopNotificationArea::WatchNotificationService() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  qDBusRegisterMetaType<NotificationImage>();
  auto* watcher =
      new QDBusServiceWatcher(kService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString&, const QString&, const QString& owner) {
            notifications_ = !owner.isEmpty();
            open_ = false;
            // A service that restarted never gave the last id: the next song
            // starts a new notification instead of replacing someone else's.
            lastId_ = 0;
            ++serviceRun_;
            if (notifications_) AskCapabilities();
          });
  // Asked without waiting; until the answer comes, balloons go to the tray icon.
  QDBusMessage ask = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "NameHasOwner");
  ask << QString(kService);
  auto* answer = new QDBusPendingCallWatcher(bus.asyncCall(ask, kCallTimeoutMs), this);
  connect(answer, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    QDBusPendingReply<bool> reply = *call;
    if (reply.isValid() && reply.value()) {
      notifications_ = true;
      AskCapabilities();
    }
    call->deleteLater();
  });
  bus.connect(kService, kPath, kInterface, "NotificationClosed", this,
              SLOT(NotificationClosed(uint, uint)));
  bus.connect(kService, kPath, kInterface, "ActionInvoked", this,
              SLOT(ActionInvoked(uint, QString)));
}

void DesktopNotificationArea::AskCapabilities() {
  QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, "GetCapabilities");
  auto* answer = new QDBusPendingCallWatcher(
      QDBusConnection::sessionBus().asyncCall(ask, kCallTimeoutMs), this);
  connect(answer, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    QDBusPendingReply<QStringList> reply = *call;
    if (reply.isValid()) {
      markup_ = reply.value().contains("body-markup");
      actions_ = reply.value().contains("actions");
    }
    call->deleteLater();
  });
}

TrayResult DesktopNotificationArea::Add(const std::string& tip) {
  hostPresent_ = QSystemTrayIcon::isSystemTrayAvailable();
  if (!hostPresent_) return {false, kTrayErrorRefused};
  icon_.show();
  // Once shown, Qt has picked how it shows the icon, and so its tooltip.
  icon_.setToolTip(TrayTooltip(tip, TrayIconIsXEmbed()));
  return {true, kTrayErrorNone};
}

TrayResult DesktopNotificationArea::ModifyTip(const std::string& tip) {
  if (!icon_.isVisible()) return {false, kTrayErrorRefused};
  icon_.setToolTip(TrayTooltip(tip, TrayIconIsXEmbed()));
  return {true, kTrayErrorNone};
}

TrayResult DesktopNotificationArea::Delete() {
  if (!icon_.isVisible()) return {false, kTrayErrorRefused};
  icon_.hide();
  return {true, kTrayErrorNone};
}

bool DesktopNotificationArea::AcceptsBalloons() {
  return notifications_ || QSystemTrayIcon::supportsMessages();
}

TrayResult DesktopNotificationArea::ShowBalloon(const BalloonRequest& balloon) {
  if (!icon_.isVisible()) return {false, kTrayErrorRefused};
  const bool takeOff = balloon.title.empty() && balloon.text.empty();
  if (!notifications_) {
    // Qt's own balloon; an empty one takes the shown one off.
    icon_.showMessage(QString::fromStdString(balloon.title), QString::fromStdString(balloon.text),
                      QSystemTrayIcon::NoIcon, balloon.timeoutMs);
    return {true, kTrayErrorNone};
  }
  if (takeOff) {
    CloseNotification();
    return {true, kTrayErrorNone};
  }
  Notify(balloon.title, balloon.text, balloon.timeoutMs);
  return {true, kTrayErrorNone};
}

bool DesktopNotificationArea::NotifyWithoutIcon(const std::string& title, const std::string& text,
                                                int timeoutMs) {
  if (!notifications_) return false;
  // Cut as a balloon's title and text are.
  Notify(std::string(Utf8Prefix(title, 63)), std::string(Utf8Prefix(text, 255)), timeoutMs);
  return true;
}

void DesktopNotificationArea::Notify(const std::string& title, const std::string& text,
                                     int timeoutMs) {
  QDBusMessage notify = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  QVariantMap hints;
  hints.insert("image-data", QVariant::fromValue(ImageOf(picture_)));
  // A server that reads markup in the body would drop "<b>" or turn "&amp;" into
  // "&": the title must show as the station sent it.
  QString body = QString::fromStdString(text);
  if (markup_) body = body.toHtmlEscaped();
  QStringList actions{"default", QString()};
  if (actions_ && onSaveAction)
    actions << "save"
            << "Save";
  lastText_ = text;
  notify << QString("Tunewell") << lastId_ << QString() << QString::fromStdString(title) << body
         << actions << hints << timeoutMs;
  auto* answer = new QDBusPendingCallWatcher(
      QDBusConnection::sessionBus().asyncCall(notify, kCallTimeoutMs), this);
  connect(answer, &QDBusPendingCallWatcher::finished, this,
          [this, run = serviceRun_](QDBusPendingCallWatcher* call) {
            QDBusPendingReply<uint> reply = *call;
            // An answer from a service that has gone since is not this one's id.
            if (reply.isValid() && run == serviceRun_) {
              lastId_ = reply.value();
              open_ = true;
            }
            call->deleteLater();
          });
}

void DesktopNotificationArea::CloseNotification() {
  if (!open_ || lastId_ == 0) return;
  open_ = false;
  QDBusMessage close =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, "CloseNotification");
  close << lastId_;
  QDBusConnection::sessionBus().call(close, QDBus::NoBlock);
}

void DesktopNotificationArea::NotificationClosed(uint id, uint reason) {
  if (id != lastId_ || !open_) return;
  open_ = false;
  // 1: it expired, 2: the user dismissed it; both end its time on screen.
  Deliver(reason == 1 || reason == 2 ? tray_code::kBalloonTimeout : tray_code::kBalloonHide);
}

void DesktopNotificationArea::ActionInvoked(uint id, const QString& action) {
  if (id != lastId_) return;
  if (action == "save") {
    if (onSaveAction) onSaveAction(lastText_);
    return;
  }
  if (!open_) return;
  // A click takes a balloon off; a song notification without an icon goes the same way.
  if (!icon_.isVisible()) {
    CloseNotification();
    return;
  }
  Deliver(tray_code::kBalloonUserClick);
}

void DesktopNotificationArea::Activated(QSystemTrayIcon::ActivationReason reason) {
  using namespace tray_code;
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      Deliver(kLButtonDown);
      Deliver(kLButtonUp);
      return;
    case QSystemTrayIcon::DoubleClick:
      Deliver(kLButtonDblClk);
      return;
    case QSystemTrayIcon::MiddleClick:
      Deliver(kMButtonDown);
      Deliver(kMButtonUp);
      return;
    case QSystemTrayIcon::Context:
      Deliver(kRButtonDown);
      Deliver(kRButtonUp);
      return;
    case QSystemTrayIcon::Unknown:
      return;
  }
}

void DesktopNotificationArea::Deliver(int code) {
  if (!onCallback) return;
  TrayPointer pointer;
  const QPoint at = QCursor::pos();
  pointer.x = at.x();
  pointer.y = at.y();
  const Qt::KeyboardModifiers keys = QGuiApplication::keyboardModifiers();
  const Qt::MouseButtons buttons = QGuiApplication::mouseButtons();
  if (keys & Qt::ShiftModifier) pointer.shift |= ssShift;
  if (keys & Qt::AltModifier) pointer.shift |= ssAlt;
  if (keys & Qt::ControlModifier) pointer.shift |= ssCtrl;
  if (buttons & Qt::LeftButton) pointer.shift |= ssLeft;
  if (buttons & Qt::RightButton) pointer.shift |= ssRight;
  if (buttons & Qt::MiddleButton) pointer.shift |= ssMiddle;
  onCallback(code, pointer);
}

void DesktopNotificationArea::TrayWindowChanged() {
  // Qt docks the icon again by itself; the icon's state follows on the next turn
  // of the event loop, once Qt has seen the new host.
  QTimer::singleShot(0, this, [this] { CheckHost(); });
}

void DesktopNotificationArea::CheckHost() {
  const bool present = QSystemTrayIcon::isSystemTrayAvailable();
  if (present == hostPresent_) return;
  hostPresent_ = present;
  if (onHostChanged) onHostChanged(present);
}

int64_t DesktopTrayClock::NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

void DesktopTrayClock::Wait(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

void DesktopTrayClock::StartTimer(int id, int ms) {
  QTimer*& timer = timers_[id];
  if (!timer) {
    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, id] {
      if (onTimer) onTimer(id);
    });
  }
  timer->start(ms);
}

void DesktopTrayClock::StopTimer(int id) {
  auto found = timers_.find(id);
  if (found != timers_.end()) found->second->stop();
}

int DesktopTrayClock::DoubleClickTimeMs() {
  return QGuiApplication::styleHints()->mouseDoubleClickInterval();
}

}  // namespace tw
