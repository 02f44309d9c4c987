// "No sound": an output without a device. Its thread pulls from the mixer at the
// pace a sound card would, so streams play (and reach their end, syncs fire) in
// real time even when nothing can be heard.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/internal.h"
#include "engine/mixer.h"

namespace tw::engine {

namespace {

using Clock = std::chrono::steady_clock;
// About a sound card's period. A wake-up costs more than the mixing it does
// (most of this output's CPU time), so no shorter.
constexpr auto kTick = std::chrono::milliseconds(20);
// After a stall (the machine slept, the thread starved) play on from now
// instead of rendering the lost time in one burst.
constexpr auto kMaxCatchUp = std::chrono::milliseconds(200);
constexpr std::size_t kChunkFrames = 1024;
// How often to look while a stream waits to begin.
constexpr auto kStartPoll = std::chrono::milliseconds(1);
constexpr uint64_t kNanosPerSecond = 1'000'000'000;

// Frames of `freq` in `elapsed`, without overflow however long it is.
uint64_t FramesIn(Clock::duration elapsed, uint64_t freq) {
  const auto nanos = static_cast<uint64_t>(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
  return nanos / kNanosPerSecond * freq + nanos % kNanosPerSecond * freq / kNanosPerSecond;
}

class NullOutput final : public Output {
 public:
  NullOutput(int freq, Mixer& mixer) : freq_(static_cast<uint64_t>(freq)), mixer_(mixer) {
    thread_ = std::thread([this] { Run(); });
  }
  ~NullOutput() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
    if (idle_) mixer_.CountSilence(FramesIn(Clock::now() - idleSince_, freq_));
  }

  void Wake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
      if (idle_) {
        // The last tick's worth is left to render now, as a running output
        // would, so that the new stream begins at once.
        resumedAt_ = std::max(idleSince_, Clock::now() - kTick);
        mixer_.CountSilence(FramesIn(resumedAt_ - idleSince_, freq_));
        idle_ = false;
      }
    }
    wake_.notify_one();
  }

  uint64_t SilentFrames() override {
    std::lock_guard lock(mutex_);
    return idle_ ? FramesIn(Clock::now() - idleSince_, freq_) : 0;
  }

 private:
  // The output's own thread.
  void Run() {
    std::vector<float> discard(kChunkFrames * kChannels);
    Clock::time_point last = Clock::now();
    Clock::time_point deadline = last + kTick;
    uint64_t carry = 0;  // frame fractions left over, in frames * 1e9
    std::unique_lock lock(mutex_);
    for (;;) {
      if (!woken_ && (!mixer_.HasStreams() || !mixer_.StreamsActive())) {
        // Nothing to play: no wake-ups until a stream is attached (Wake), which
        // counts the silence played meanwhile. An ended stream never plays again.
        idle_ = true;
        idleSince_ = last;
        wake_.wait(lock, [this] { return stop_ || woken_; });
        if (stop_) return;
        last = resumedAt_;
        deadline = last;
      } else {
        wake_.wait_until(lock, deadline, [this] { return stop_ || woken_; });
        if (stop_) return;
      }
      woken_ = false;
      lock.unlock();
      const Clock::time_point now = Clock::now();
      const auto elapsed = std::min<Clock::duration>(now - last, kMaxCatchUp);
      last = now;
      // Per tick rather than since the start, so the arithmetic cannot overflow
      // however long the player runs.
      const auto nanos = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
      carry += nanos * freq_;
      uint64_t frames = carry / kNanosPerSecond;
      carry %= kNanosPerSecond;
      bool startPending = false;
      while (frames > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<uint64_t>(frames, kChunkFrames));
        mixer_.Render(discard.data(), chunk);
        startPending = startPending || mixer_.StartPending();
        frames -= chunk;
      }
      // A stream waiting to begin (for a few tens of milliseconds at most)
      // begins when it can, not a tick later.
      deadline = now + (startPending ? kStartPoll : kTick);
      lock.lock();
    }
  }

  const uint64_t freq_;
  Mixer& mixer_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;   // guarded by mutex_
  bool woken_ = false;  // guarded by mutex_
  // Asleep with nothing to play since idleSince_; guarded by mutex_.
  bool idle_ = false;
  Clock::time_point idleSince_;
  Clock::time_point resumedAt_;  // where rendering goes on after the sleep
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Output> OpenNullOutput(int freq, Mixer& mixer) {
  return std::make_unique<NullOutput>(freq, mixer);
}

}  // namespace tw::engine
