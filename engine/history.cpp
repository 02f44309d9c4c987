#include "engine/history.h"

#include <algorithm>
#include <cmath>

namespace tw::engine {

namespace {

int16_t ToInt16(float sample) {
  if (std::isnan(sample)) return 0;
  const float scaled = std::clamp(sample * 32768.0f, -32768.0f, 32767.0f);
  return static_cast<int16_t>(std::lrint(scaled));
}

}  // namespace

void PlayedHistory::Append(const float* stereo, std::size_t frames) {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  if (frames >= kFrames) {
    // Only the newest kFrames frames matter.
    std::copy_n(stereo + (frames - kFrames) * 2, kSamples, ring_.begin());
    next_ = 0;
    return;
  }
  const std::size_t first = std::min(frames, kFrames - next_);
  std::copy_n(stereo, first * 2, ring_.begin() + static_cast<std::ptrdiff_t>(next_ * 2));
  std::copy_n(stereo + first * 2, (frames - first) * 2, ring_.begin());
  next_ = (next_ + frames) % kFrames;
}

void PlayedHistory::CopyAsInt16(std::span<int16_t, kSamples> out) const {
  std::array<float, kSamples> copy;
  std::size_t next;
  {
    std::lock_guard lock(mutex_);
    copy = ring_;
    next = next_;
  }
  // next is the oldest frame.
  std::size_t at = 0;
  for (std::size_t i = next * 2; i < kSamples; ++i) out[at++] = ToInt16(copy[i]);
  for (std::size_t i = 0; i < next * 2; ++i) out[at++] = ToInt16(copy[i]);
}

}  // namespace tw::engine
