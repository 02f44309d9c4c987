#include "app/sleep_timer.h"

#include <algorithm>

namespace tw {

void SleepTimer::Start(int minutes, int64_t nowMs) {
  Cancel();
  mode_ = Mode::Minutes;
  endMs_ = nowMs + int64_t{minutes} * 60000;
}

void SleepTimer::StartAtSongEnd() {
  Cancel();
  mode_ = Mode::SongEnd;
}

void SleepTimer::Cancel() {
  const bool fading = mode_ == Mode::Fading;
  mode_ = Mode::Off;
  if (fading) actions_.setLevel(1.0);
}

void SleepTimer::TitleChanged(int64_t nowMs) {
  if (mode_ == Mode::SongEnd) BeginFade(nowMs);
}

void SleepTimer::BeginFade(int64_t nowMs) {
  mode_ = Mode::Fading;
  fadeStartMs_ = nowMs;
}

void SleepTimer::Tick(int64_t nowMs) {
  if (mode_ == Mode::Minutes && nowMs >= endMs_) BeginFade(endMs_);
  if (mode_ != Mode::Fading) return;
  const int64_t faded = nowMs - fadeStartMs_;
  if (faded < kFadeMs) {
    actions_.setLevel(1.0 - static_cast<double>(faded) / kFadeMs);
    return;
  }
  // Off before the stop: the stop's own announcements cancel nothing more.
  mode_ = Mode::Off;
  actions_.setLevel(0.0);
  actions_.stop();
  actions_.setLevel(1.0);
}

int64_t SleepTimer::NextTickMs(int64_t nowMs) const {
  switch (mode_) {
    case Mode::Minutes:
      return endMs_;
    case Mode::Fading:
      return std::min(nowMs + kFadeStepMs, fadeStartMs_ + kFadeMs);
    case Mode::Off:
    case Mode::SongEnd:
      break;
  }
  return -1;
}

int SleepTimer::MinutesLeft(int64_t nowMs) const {
  if (mode_ != Mode::Minutes) return 0;
  return static_cast<int>(std::max<int64_t>(0, (endMs_ - nowMs + 59999) / 60000));
}

}  // namespace tw
