// Decoded audio waiting to be played: interleaved float stereo frames in a
// single-producer (decoder thread), single-consumer (output thread) ring. The
// consumer side never locks or waits, as the output thread must not. All here: no
// .cpp file.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>

namespace tw::engine {

class PcmRing {
 public:
  explicit PcmRing(std::size_t capacityFrames)
      : capacity_(capacityFrames), samples_(new float[capacityFrames * 2]) {}

  std::size_t capacity() const { return capacity_; }
  std::size_t available() const {
    return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_acquire);
  }
  std::size_t room() const { return capacity_ - available(); }

  // Producer: writes up to frames frames, returns how many fit.
  std::size_t Write(const float* stereo, std::size_t frames) {
    const std::size_t w = written_.load(std::memory_order_relaxed);
    const std::size_t n = std::min(frames, capacity_ - (w - read_.load(std::memory_order_acquire)));
    if (n == 0) return 0;
    // At most two pieces: up to the end of the storage, then from its start.
    const std::size_t at = w % capacity_;
    const std::size_t first = std::min(n, capacity_ - at);
    std::copy_n(stereo, first * 2, samples_.get() + at * 2);
    std::copy_n(stereo + first * 2, (n - first) * 2, samples_.get());
    written_.store(w + n, std::memory_order_release);
    return n;
  }

  // Consumer: reads up to frames frames, returns how many there were.
  std::size_t Read(float* stereo, std::size_t frames) {
    const std::size_t r = read_.load(std::memory_order_relaxed);
    const std::size_t n = std::min(frames, written_.load(std::memory_order_acquire) - r);
    if (n == 0) return 0;
    const std::size_t at = r % capacity_;
    const std::size_t first = std::min(n, capacity_ - at);
    std::copy_n(samples_.get() + at * 2, first * 2, stereo);
    std::copy_n(samples_.get(), (n - first) * 2, stereo + first * 2);
    read_.store(r + n, std::memory_order_release);
    return n;
  }

 private:
  const std::size_t capacity_;
  std::unique_ptr<float[]> samples_;
  std::atomic<std::size_t> written_{0};  // frames ever written; producer stores
  std::atomic<std::size_t> read_{0};     // frames ever read; consumer stores
};

}  // namespace tw::engine
