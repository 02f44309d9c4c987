// Mixes the engine's playing streams into what the output plays (mixer.cpp).
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
  bool StartPending() const { return startPending_; }
  // Output thread, after Render: whether a stream is playing or stalled, so a
  // later render could give anything but silence. Attached streams that have
  // ended (an end sync that waits for its box) need none.
  bool StreamsActive() const { return streamsActive_; }

  // The output thread, or whoever owns an output that sleeps: frames the output
  // played as silence without rendering them.
  void CountSilence(uint64_t frames) {
    framesRendered_.fetch_add(frames, std::memory_order_relaxed);
  }

  // Any thread.
  bool HasStreams() const { return streamCount_.load(std::memory_order_acquire) != 0; }
  uint64_t FramesRendered() const { return framesRendered_.load(std::memory_order_relaxed); }

 private:
  void MixStream(Stream& stream, float* out, std::size_t frames);
  // Frames of a render of `frames` that must pass before a stream not yet begun
  // may start; `frames` when it may not start in this one.
  std::size_t StartOffset(Stream& stream, std::size_t frames, int64_t now);

  const int freq_;
  std::atomic<uint64_t> framesRendered_{0};
  // The output thread holds streamsMutex_ (try_lock) for a whole render; API
  // threads hold it only to change the list.
  std::mutex streamsMutex_;
  std::vector<Stream*> streams_;
  std::atomic<std::size_t> streamCount_{0};  // streams_.size(), set under streamsMutex_
  std::vector<float> scratch_;               // output thread only
  bool startPending_ = false;                // output thread only
  bool streamsActive_ = true;                // output thread only; unknown counts as active
};

}  // namespace tw::engine
