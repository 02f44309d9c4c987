// An output on an SDL audio device. SDL runs the callback on its own audio
// thread, which wakes every period for as long as the device is open, paused or
// not; so a device left with nothing to play is closed after a few seconds and
// opened again when a stream is attached. Closing the device stops and joins
// that thread.
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/internal.h"
#include "engine/mixer.h"

namespace tw::engine {

namespace {

using Clock = std::chrono::steady_clock;

// About 23 ms at 44.1 kHz: short enough for responsive meters, long enough not
// to underrun on a busy desktop.
constexpr Uint16 kBufferFrames = 1024;
// Idle this long, the device closes: longer than the pause between one station
// and the next, so switching stations does not reopen it.
constexpr auto kIdleClose = std::chrono::seconds(3);
// A device that would not open again (unplugged, the sound server gone) is
// tried again this often while a stream waits for it.
constexpr auto kReopenRetry = std::chrono::seconds(1);

int64_t Nanos(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

uint64_t FramesIn(Clock::duration elapsed, int freq) {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return millis <= 0 ? 0 : static_cast<uint64_t>(millis) * static_cast<uint64_t>(freq) / 1000;
}

class SdlOutput final : public Output {
 public:
  SdlOutput(const char* sdlName, int freq, Mixer& mixer)
      : name_(sdlName ? sdlName : ""),
        useDefault_(sdlName == nullptr),
        freq_(freq),
        mixer_(mixer) {}
  ~SdlOutput() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    if (keeper_.joinable()) keeper_.join();
    if (device_ != 0) CloseDevice(device_);
  }

  // Returns a BASS_ERROR_ code. Starts the device, so the callback may run
  // before this returns.
  int Open() {
    int error = BASS_OK;
    device_ = OpenDevice(&error);
    if (device_ == 0) return error;
    keeper_ = std::thread([this] { Keep(); });
    return BASS_OK;
  }

  void Wake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
      // Not idle: a stream was just attached, though the callback may not have
      // seen it yet.
      idleSince_.store(0, std::memory_order_relaxed);
    }
    wake_.notify_one();
  }

  uint64_t SilentFrames() override {
    std::lock_guard lock(mutex_);
    if (device_ != 0) return 0;
    return FramesIn(std::min(Clock::now(), silentUntil_) - closedAt_, freq_);
  }

 private:
  // SDL's audio thread.
  static void SDLCALL Callback(void* userdata, Uint8* stream, int len) {
    auto* self = static_cast<SdlOutput*>(userdata);
    const auto frames = static_cast<std::size_t>(len) / (sizeof(float) * kChannels);
    self->mixer_.Render(reinterpret_cast<float*>(stream), frames);
    const bool idle = !self->mixer_.HasStreams() || !self->mixer_.StreamsActive();
    if (!idle) {
      self->idleSince_.store(0, std::memory_order_relaxed);
    } else if (self->idleSince_.load(std::memory_order_relaxed) == 0) {
      // Only the keeper's clock reads this; it looks again when it wakes.
      self->idleSince_.store(Nanos(Clock::now()), std::memory_order_relaxed);
    }
  }

  // Takes SdlAudioMutex(), never mutex_: opening may take a while, and API
  // threads must not wait for it. Returns 0 and sets *error on failure.
  SDL_AudioDeviceID OpenDevice(int* error) {
    std::lock_guard sdl(SdlAudioMutex());
    if (!EnsureSdlAudioLocked()) {
      *error = BASS_ERROR_DRIVER;
      return 0;
    }
    SDL_AudioSpec want{};
    want.freq = freq_;
    want.format = AUDIO_F32SYS;
    want.channels = kChannels;
    want.samples = kBufferFrames;
    want.callback = &SdlOutput::Callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    idleSince_.store(0, std::memory_order_relaxed);
    // No allowed changes: SDL converts to the device's format, so the mixer
    // always sees the format it was made for.
    const SDL_AudioDeviceID device =
        SDL_OpenAudioDevice(useDefault_ ? nullptr : name_.c_str(), 0, &want, &have, 0);
    if (device == 0) {
      *error = BASS_ERROR_DRIVER;
      return 0;
    }
    SDL_PauseAudioDevice(device, 0);  // devices open paused
    return device;
  }

  // Joins SDL's audio thread. Like OpenDevice, without mutex_.
  static void CloseDevice(SDL_AudioDeviceID device) {
    std::lock_guard sdl(SdlAudioMutex());
    SDL_CloseAudioDevice(device);
  }

  // The keeper thread: closes the device once it has been idle for kIdleClose
  // and opens it again when a stream is attached. It sleeps in between: an open
  // device wakes it every kIdleClose at most, a closed one never.
  void Keep() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (device_ != 0) {
        woken_ = false;
        const int64_t since = idleSince_.load(std::memory_order_relaxed);
        const Clock::time_point now = Clock::now();
        const Clock::time_point closeAt =
            (since == 0 ? now : Clock::time_point(std::chrono::nanoseconds(since))) + kIdleClose;
        if (since == 0 || closeAt > now) {
          wake_.wait_until(lock, closeAt, [this] { return stop_; });
          continue;
        }
        const SDL_AudioDeviceID device = device_;
        device_ = 0;
        closedAt_ = now;
        silentUntil_ = Clock::time_point::max();
        lock.unlock();
        CloseDevice(device);
        lock.lock();
        continue;
      }
      // Closed: nothing to do until a stream comes.
      wake_.wait(lock, [this] { return stop_ || woken_; });
      if (stop_) break;
      woken_ = false;
      // The silence ends where the device begins again.
      silentUntil_ = Clock::now();
      lock.unlock();
      int error = BASS_OK;
      const SDL_AudioDeviceID device = OpenDevice(&error);
      lock.lock();
      if (device == 0) {
        // Tried again while a stream waits for it.
        silentUntil_ = Clock::time_point::max();
        woken_ = woken_ || mixer_.HasStreams();
        wake_.wait_for(lock, kReopenRetry, [this] { return stop_; });
        continue;
      }
      mixer_.CountSilence(FramesIn(silentUntil_ - closedAt_, freq_));
      device_ = device;
    }
  }

  const std::string name_;
  const bool useDefault_;
  const int freq_;
  Mixer& mixer_;
  // When the callback first found nothing to play (steady clock nanoseconds),
  // 0 while something plays. Written by SDL's audio thread, and by Wake.
  std::atomic<int64_t> idleSince_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  // Guarded by mutex_ once the keeper runs; 0 while closed. Only the keeper
  // changes it then.
  SDL_AudioDeviceID device_ = 0;
  // While closed, the silence played since closedAt_ runs until silentUntil_
  // (max until the device is being opened again). Guarded by mutex_.
  Clock::time_point closedAt_;
  Clock::time_point silentUntil_ = Clock::time_point::max();
  bool woken_ = false;  // guarded by mutex_
  bool stop_ = false;   // guarded by mutex_
  std::thread keeper_;
};

}  // namespace

std::unique_ptr<Output> OpenSdlOutput(const char* sdlName, int freq, Mixer& mixer, int* error) {
  // Made before the device opens, so nothing can fail between opening the device
  // and owning it (an unowned open device would call a freed mixer).
  auto output = std::make_unique<SdlOutput>(sdlName, freq, mixer);
  *error = output->Open();
  if (*error != BASS_OK) return nullptr;
  return output;
}

}  // namespace tw::engine
