// The last moments of what the output played, kept for level meters and
// visualisations (BASS_ChannelGetData hands it out as 16-bit samples). Implemented
// in history.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

namespace tw::engine {

class PlayedHistory {
 public:
  static constexpr std::size_t kFrames = 512;
  static constexpr std::size_t kSamples = kFrames * 2;  // stereo, interleaved

  // Output thread. Never blocks: if a reader holds the history right now this
  // block is left out, and the reader got a consistent (slightly older) copy.
  void Append(const float* stereo, std::size_t frames);

  // Any thread. Writes the last kFrames frames, oldest first, as 16-bit samples
  // (clipped; NaN becomes silence). Frames never played yet read as silence.
  void CopyAsInt16(std::span<int16_t, kSamples> out) const;

 private:
  mutable std::mutex mutex_;
  std::array<float, kSamples> ring_{};  // guarded by mutex_
  std::size_t next_ = 0;                // frame index the next frame goes to
};

}  // namespace tw::engine
