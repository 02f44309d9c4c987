// Mixes the engine's playing streams into what the output plays.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tw::engine {

class Stream;

class Mixer {
 public:
  explicit Mixer(int freq);
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  int freq() const { return freq_; }

  // Output thread only (SDL's audio thread or the "No sound" thread). Fills
  // `frames` interleaved stereo float frames. Never blocks or waits: SDL's audio
  // thread must not, so anything shared with API threads is reached through
  // atomics or try_lock.
  void Render(float* out, std::size_t frames);

  // API threads. After Remove returns the output thread no longer touches the
  // stream. The caller keeps the stream alive while it is attached.
  void Add(Stream* stream);
  void Remove(Stream* stream);

  // Output thread, after Render: whether a started stream waits for enough
  // audio to begin. An output with a period of its own may render again soon.
  bool start_pending() const { return startPending_; }

  // Any thread.
  uint64_t frames_rendered() const { return frames_rendered_.load(std::memory_order_relaxed); }

 private:
  void MixStream(Stream& stream, float* out, std::size_t frames);
  // Frames of a render of `frames` that must pass before a stream not yet begun
  // may start; `frames` when it may not start in this one.
  std::size_t StartOffset(Stream& stream, std::size_t frames, int64_t now);

  const int freq_;
  std::atomic<uint64_t> frames_rendered_{0};
  // The output thread holds streamsMutex_ (try_lock) for a whole render; API
  // threads hold it only to change the list.
  std::mutex streamsMutex_;
  std::vector<Stream*> streams_;
  std::vector<float> scratch_;  // output thread only
  bool startPending_ = false;   // output thread only
};

}  // namespace tw::engine
