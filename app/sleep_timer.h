// The sleep timer: after a number of minutes, or when the song playing now has
// ended, the sound fades to silence over 10 s and the player stops; then the
// volume is back where the bar says. Plain C++: time comes in as arguments (ms
// of a steady clock), actions go out through callbacks, so tests run it without
// a window or a wait. sleep_timer_shell runs it on a QTimer.
#pragma once

#include <cstdint>
#include <functional>

namespace tw {

class SleepTimer {
 public:
  enum class Mode { Off, Minutes, SongEnd, Fading };

  static constexpr int64_t kFadeMs = 10000;
  // Fade steps: fine enough that no step is heard.
  static constexpr int64_t kFadeStepMs = 100;

  struct Actions {
    // The sound's level against the volume bar: 1 as the bar says, 0 silent.
    std::function<void(double level)> setLevel;
    // Stops the player as the Stop button does.
    std::function<void()> stop;
  };

  explicit SleepTimer(Actions actions) : actions_(std::move(actions)) {}

  // Runs out `minutes` from now (a running timer starts again).
  void Start(int minutes, int64_t nowMs);
  // Runs out when the next title begins.
  void StartAtSongEnd();
  // Off, a Stop or a new station: nothing more happens, and a fade under way is
  // undone at once.
  void Cancel();
  // A new title is shown.
  void TitleChanged(int64_t nowMs);
  // Time passes: starts the fade at the set time, steps it, stops at its end.
  void Tick(int64_t nowMs);

  Mode mode() const { return mode_; }
  // When Tick has something to do next (steady ms), -1 for never.
  int64_t NextTickMs(int64_t nowMs) const;
  // Whole minutes left, rounded up (0 when not counting down).
  int MinutesLeft(int64_t nowMs) const;

 private:
  void BeginFade(int64_t nowMs);

  Actions actions_;
  Mode mode_ = Mode::Off;
  int64_t endMs_ = 0;        // Minutes: when the fade begins
  int64_t fadeStartMs_ = 0;  // Fading: when it began
};

}  // namespace tw
