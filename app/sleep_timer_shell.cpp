#include "app/sleep_timer_shell.h"

#include <algorithm>

#include "app/player_controls.h"

namespace tw {

SleepTimerShell::SleepTimerShell(PlayerControls& player, QObject* parent)
    : QObject(parent),
      player_(player),
      timer_({[this](double level) { player_.SetFadeLevel(level); },
              [this] { player_.StopCommand(); }}) {
  clock_.start();
  wake_.setSingleShot(true);
  wake_.setTimerType(Qt::PreciseTimer);
  connect(&wake_, &QTimer::timeout, this, [this] { Tick(); });
  PlayerSignals& announced = player_.Signals();
  connect(&announced, &PlayerSignals::PlaybackStopping, this, [this] { Cancel(); });
  connect(&announced, &PlayerSignals::StationStarting, this, [this] { Cancel(); });
  connect(&announced, &PlayerSignals::TitleShown, this, [this] { TitleShown(); });
}

void SleepTimerShell::Start(int minutes) {
  timer_.Start(minutes, clock_.elapsed());
  Arm();
}

void SleepTimerShell::StartAtSongEnd() {
  songTitle_ = player_.SongTitle();
  timer_.StartAtSongEnd();
  Arm();
}

void SleepTimerShell::Cancel() {
  timer_.Cancel();
  Arm();
}

void SleepTimerShell::TitleShown() {
  // A title sent again (after a stall) is the same song.
  if (timer_.mode() != SleepTimer::Mode::SongEnd || player_.SongTitle() == songTitle_) return;
  timer_.TitleChanged(clock_.elapsed());
  Arm();
}

void SleepTimerShell::Tick() {
  timer_.Tick(clock_.elapsed());
  Arm();
}

// One wake-up at the set time, then one per fade step: nothing ticks while the
// timer only counts down.
void SleepTimerShell::Arm() {
  const int64_t now = clock_.elapsed();
  const int64_t next = timer_.NextTickMs(now);
  if (next < 0) {
    wake_.stop();
    return;
  }
  wake_.start(static_cast<int>(std::clamp<int64_t>(next - now, 0, 24 * 3600 * 1000)));
}

}  // namespace tw
