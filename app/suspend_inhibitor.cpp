#include "app/suspend_inhibitor.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QEventLoop>
#include <QVariantMap>

#include "app/player_controls.h"

namespace tw {

namespace {

const char* const kPortalService = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";
const char* const kPortalInhibit = "org.freedesktop.portal.Inhibit";
const char* const kPortalRequest = "org.freedesktop.portal.Request";
const char* const kLogindService = "org.freedesktop.login1";
const char* const kLogindPath = "/org/freedesktop/login1";
const char* const kLogindManager = "org.freedesktop.login1.Manager";
// The portal's flags: 4 suspend, 8 idle.
constexpr uint kSuspendAndIdle = 4 | 8;
constexpr int kCallTimeoutMs = 25000;
constexpr int kRecheckMs = 1000;
// How long the program, on its way out, gives a release to reach the portal.
constexpr int kReleaseFlushMs = 500;

// The portal is not there (or has no Inhibit): logind is asked instead. Any other
// failure is the portal's answer, and stands.
bool PortalMissing(const QDBusError& error) {
  switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
      return true;
    default:
      return error.name() == "org.freedesktop.DBus.Error.NameHasNoOwner";
  }
}

}  // namespace

SuspendInhibitor::SuspendInhibitor(PlayerControls& player, QObject* parent)
    : QObject(parent), player_(player) {
  recheck_.setInterval(kRecheckMs);
  connect(&recheck_, &QTimer::timeout, this, [this] { Follow(); });
  connect(&player_.Signals(), &PlayerSignals::StateChanged, this, [this] { Follow(); });
  Follow();
}

SuspendInhibitor::~SuspendInhibitor() {
  Release();
  if (closing_ && !closing_->isFinished()) {
    // The window is gone by now; only the exiting program waits, and briefly.
    QEventLoop loop;
    QDBusPendingCallWatcher watcher(*closing_);
    connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kReleaseFlushMs, &loop, &QEventLoop::quit);
    loop.exec();
  }
  closing_.reset();
}

void SuspendInhibitor::Follow() {
  // A stream plays (or stalls, and resumes by itself); a connect does not count.
  const bool playing = player_.PlaybackActive() && !player_.ConnectPending();
  if (playing && !wanted_) Inhibit(QString("Playing %1").arg(player_.StationShown()));
  if (!playing && wanted_) Release();
}

void SuspendInhibitor::Inhibit(const QString& reason) {
  wanted_ = true;
  recheck_.start();
  const quint64 generation = ++generation_;
  QDBusConnection session = QDBusConnection::sessionBus();
  if (!session.isConnected()) {
    InhibitWithLogind(generation, reason);
    return;
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kPortalService, kPortalPath, kPortalInhibit, "Inhibit");
  call << QString() << kSuspendAndIdle << QVariantMap{{"reason", reason}};
  auto* answer = new QDBusPendingCallWatcher(session.asyncCall(call, kCallTimeoutMs), this);
  connect(answer, &QDBusPendingCallWatcher::finished, this,
          [this, generation, reason](QDBusPendingCallWatcher* done) {
            done->deleteLater();
            QDBusPendingReply<QDBusObjectPath> reply = *done;
            if (reply.isError()) {
              if (generation == generation_ && PortalMissing(reply.error())) {
                InhibitWithLogind(generation, reason);
              }
              return;
            }
            const QString handle = reply.value().path();
            // Let go meanwhile (or asked again): this one is not needed.
            if (generation != generation_) {
              ClosePortalRequest(handle);
              return;
            }
            portalHandle_ = handle;
          });
}

void SuspendInhibitor::InhibitWithLogind(quint64 generation, const QString& reason) {
  QDBusConnection system = QDBusConnection::systemBus();
  if (!system.isConnected()) return;
  QDBusMessage call =
      QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager, "Inhibit");
  call << QString("sleep:idle") << QString("Tunewell") << reason << QString("block");
  auto* answer = new QDBusPendingCallWatcher(system.asyncCall(call, kCallTimeoutMs), this);
  connect(answer, &QDBusPendingCallWatcher::finished, this,
          [this, generation](QDBusPendingCallWatcher* done) {
            done->deleteLater();
            QDBusPendingReply<QDBusUnixFileDescriptor> reply = *done;
            // An old answer's lock closes as the reply goes.
            if (reply.isError() || generation != generation_) return;
            logindFd_ = reply.value();
          });
}

void SuspendInhibitor::Release() {
  wanted_ = false;
  recheck_.stop();
  ++generation_;
  logindFd_ = QDBusUnixFileDescriptor();  // closing it ends logind's lock
  if (!portalHandle_.isEmpty()) ClosePortalRequest(portalHandle_);
  portalHandle_.clear();
}

void SuspendInhibitor::ClosePortalRequest(const QString& handle) {
  QDBusConnection session = QDBusConnection::sessionBus();
  if (!session.isConnected()) return;
  QDBusMessage close =
      QDBusMessage::createMethodCall(kPortalService, handle, kPortalRequest, "Close");
  closing_ = session.asyncCall(close, kCallTimeoutMs);
}

}  // namespace tw
