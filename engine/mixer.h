// Mixes the engine's streams into what the output plays. Streams come later; for
// now the mix is silence, but the output threads already pull through here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/history.h"

namespace tw::engine {

class Mixer {
 public:
  explicit Mixer(int freq) : freq_(freq) {}
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  int freq() const { return freq_; }

  // Output thread only (SDL's audio thread or the "No sound" thread). Fills
  // `frames` interleaved stereo float frames. Never blocks or waits: SDL's audio
  // thread must not, so anything shared with API threads is reached through
  // atomics or try_lock.
  void Render(float* out, std::size_t frames);

  // Any thread.
  uint64_t frames_rendered() const { return frames_rendered_.load(std::memory_order_relaxed); }
  const PlayedHistory& history() const { return history_; }

 private:
  const int freq_;
  std::atomic<uint64_t> frames_rendered_{0};
  PlayedHistory history_;
};

}  // namespace tw::engine
