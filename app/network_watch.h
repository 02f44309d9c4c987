// Tells the engine to reconnect now when the network comes back or the
// computer wakes up, rather than letting a station wait out its back-off or a
// connection that died in its sleep. A platform service beside the window: it
// touches no widget and reaches the engine only through BASS_NetReconnectNow.
//
// Three sources, each enough alone:
// - the desktop's network state (QNetworkInformation: NetworkManager where it
//   runs): reachable again after it was not;
// - logind's PrepareForSleep(false) on the system bus, where there is one;
// - a jump between the monotonic and the boot-time clock (the first stops
//   while the computer sleeps, the second does not), checked every
//   kClockCheckMs while a stream plays: works without any service.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <thread>

namespace tw {

// How far the boot-time clock may run ahead of the monotonic one between two
// checks before it counts as a sleep. A busy machine delays a check, but both
// clocks see that delay alike.
inline constexpr int64_t kSleepJumpNanos = 1'500'000'000;
inline constexpr int kClockCheckMs = 2000;

// Boot-time minus monotonic time now, in nanoseconds: grows by the time slept.
int64_t SleptNanos();

// What a reachability change means: go now when the network became reachable
// (local or online) after it was not.
bool NetworkCameBack(bool wasReachable, bool reachable);

// Carries logind's signal from the D-Bus connection to the watch.
class SleepRelay : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

 signals:
  void PrepareForSleep(bool sleeping);

 public slots:
  void OnPrepareForSleep(bool sleeping) { emit PrepareForSleep(sleeping); }
};

class NetworkWatch : public QObject {
  Q_OBJECT

 public:
  // reconnect runs on the UI thread; null means BASS_NetReconnectNow.
  explicit NetworkWatch(QObject* parent = nullptr, std::function<void()> reconnect = {});
  // Waits for the system-bus set-up, which is quick: a thread still inside Qt
  // D-Bus while the program exits would crash it.
  ~NetworkWatch() override;

  // While a stream plays (or waits to reconnect) the clocks are checked.
  void SetPlaying(bool playing);

  // For tests: the clock check, as the timer runs it.
  void CheckClocks();
  // Where the desktop's network state comes from ("" when no backend loaded).
  QString Backend() const { return backend_; }

  // logind's PrepareForSleep: false when the computer has woken up.
  void OnPrepareForSleep(bool sleeping);

 private:
  void FollowNetworkState();
  void Reconnect(const char* why);

  std::function<void()> reconnect_;
  QTimer clockTimer_;
  int64_t slept_ = 0;
  bool reachable_ = true;
  QString backend_;
  QElapsedTimer lastReconnect_;
  std::thread systemBus_;  // connects to the system bus and asks for logind's signal
};

}  // namespace tw
