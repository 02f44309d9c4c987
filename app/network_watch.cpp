#include "app/network_watch.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QNetworkInformation>
#include <ctime>
#include <thread>

#include "engine/engine.h"

namespace tw {

namespace {

int64_t Nanos(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool IsReachable(QNetworkInformation::Reachability reachability) {
  return reachability == QNetworkInformation::Reachability::Online ||
         reachability == QNetworkInformation::Reachability::Local ||
         reachability == QNetworkInformation::Reachability::Site;
}

}  // namespace

int64_t SleptNanos() { return Nanos(CLOCK_BOOTTIME) - Nanos(CLOCK_MONOTONIC); }

bool NetworkCameBack(bool wasReachable, bool reachable) { return reachable && !wasReachable; }

NetworkWatch::NetworkWatch(QObject* parent, std::function<void()> reconnect)
    : QObject(parent), reconnect_(std::move(reconnect)), slept_(SleptNanos()) {
  if (!reconnect_) reconnect_ = [] { BASS_NetReconnectNow(); };

  // Loading the backend asks the system bus whether NetworkManager runs: after
  // the window is up, not before.
  QTimer::singleShot(0, this, [this] { FollowNetworkState(); });

  // Connecting to the system bus and adding the signal's match rule are round
  // trips to the bus daemon: they happen on a thread of their own, never on
  // the UI thread. The relay lives as long as the application (the bus keeps
  // it as the signal's receiver); the signal reaches the watch queued, and not
  // at all once the watch is gone.
  auto* relay = new SleepRelay(QCoreApplication::instance());
  connect(relay, &SleepRelay::PrepareForSleep, this, &NetworkWatch::OnPrepareForSleep,
          Qt::QueuedConnection);
  systemBus_ = std::thread([relay] {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return;
    bus.connect("org.freedesktop.login1", "/org/freedesktop/login1",
                "org.freedesktop.login1.Manager", "PrepareForSleep", relay,
                SLOT(OnPrepareForSleep(bool)));
  });

  clockTimer_.setInterval(kClockCheckMs);
  connect(&clockTimer_, &QTimer::timeout, this, &NetworkWatch::CheckClocks);
}

NetworkWatch::~NetworkWatch() {
  if (systemBus_.joinable()) systemBus_.join();
}

void NetworkWatch::FollowNetworkState() {
  // Without a backend plugin (or NetworkManager) the clock check works alone.
  if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
    QNetworkInformation* info = QNetworkInformation::instance();
    backend_ = info->backendName();
    const auto reachability = info->reachability();
    reachable_ =
        reachability == QNetworkInformation::Reachability::Unknown || IsReachable(reachability);
    connect(info, &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability now) {
              // "Unknown" says nothing: the last known state stays.
              if (now == QNetworkInformation::Reachability::Unknown) return;
              const bool reachable = IsReachable(now);
              const bool back = NetworkCameBack(reachable_, reachable);
              reachable_ = reachable;
              if (back) Reconnect("network reachable again");
            });
  }
}

void NetworkWatch::SetPlaying(bool playing) {
  if (playing == clockTimer_.isActive()) return;
  if (playing) {
    slept_ = SleptNanos();
    clockTimer_.start();
  } else {
    clockTimer_.stop();
  }
}

void NetworkWatch::CheckClocks() {
  const int64_t slept = SleptNanos();
  const bool woke = slept - slept_ > kSleepJumpNanos;
  slept_ = slept;
  if (woke) Reconnect("woke up");
}

void NetworkWatch::OnPrepareForSleep(bool sleeping) {
  if (!sleeping) Reconnect("logind: resumed");
}

void NetworkWatch::Reconnect(const char*) {
  slept_ = SleptNanos();
  // A network state that flaps (or lies) must not turn into a stream of
  // attempts at a server that is backing us off: one a second at most.
  constexpr qint64 kLeastApartMs = 1000;
  if (lastReconnect_.isValid() && lastReconnect_.elapsed() < kLeastApartMs) return;
  lastReconnect_.start();
  reconnect_();
}

}  // namespace tw
