// The sleep timer on the UI thread: SleepTimer's rules on a QTimer and a steady
// clock, talking to the player through PlayerControls. A Stop or a new station
// cancels it; it keeps running while the window is in the tray.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include "app/sleep_timer.h"

namespace tw {

class PlayerControls;

class SleepTimerShell : public QObject {
 public:
  explicit SleepTimerShell(PlayerControls& player, QObject* parent = nullptr);

  void Start(int minutes);
  // Runs out when the title shown now gives way to the next.
  void StartAtSongEnd();
  void Cancel();

  SleepTimer::Mode mode() const { return timer_.mode(); }
  int MinutesLeft() const { return timer_.MinutesLeft(clock_.elapsed()); }

 private:
  void Arm();
  void Tick();
  void TitleShown();

  PlayerControls& player_;
  SleepTimer timer_;
  QElapsedTimer clock_;
  QTimer wake_;
  QString songTitle_;  // the title whose end an "at the end of this song" waits for
};

}  // namespace tw
