// An output on an SDL audio device. SDL runs the callback on its own audio
// thread; closing the device stops and joins that thread.
#include <SDL.h>

#include <memory>

#include "engine/internal.h"
#include "engine/mixer.h"

namespace tw::engine {

namespace {

// About 23 ms at 44.1 kHz: short enough for responsive meters, long enough not
// to underrun on a busy desktop.
constexpr Uint16 kBufferFrames = 1024;

class SdlOutput final : public Output {
 public:
  SdlOutput() = default;
  ~SdlOutput() override {
    if (device_ == 0) return;
    std::lock_guard lock(SdlAudioMutex());
    SDL_CloseAudioDevice(device_);
  }

  // Returns a BASS_ERROR_ code. Starts the device, so the callback may run
  // before this returns.
  int Open(const char* sdlName, int freq, Mixer& mixer);

  // SDL's audio thread.
  static void SDLCALL Callback(void* userdata, Uint8* stream, int len) {
    auto* mixer = static_cast<Mixer*>(userdata);
    const auto frames = static_cast<std::size_t>(len) / (sizeof(float) * kChannels);
    mixer->Render(reinterpret_cast<float*>(stream), frames);
  }

 private:
  SDL_AudioDeviceID device_ = 0;
};

int SdlOutput::Open(const char* sdlName, int freq, Mixer& mixer) {
  std::lock_guard lock(SdlAudioMutex());
  if (!EnsureSdlAudioLocked()) return BASS_ERROR_DRIVER;
  SDL_AudioSpec want{};
  want.freq = freq;
  want.format = AUDIO_F32SYS;
  want.channels = kChannels;
  want.samples = kBufferFrames;
  want.callback = &SdlOutput::Callback;
  want.userdata = &mixer;
  SDL_AudioSpec have{};
  // No allowed changes: SDL converts to the device's format, so the mixer always
  // sees the format it was made for.
  device_ = SDL_OpenAudioDevice(sdlName, 0, &want, &have, 0);
  if (device_ == 0) return BASS_ERROR_DRIVER;
  SDL_PauseAudioDevice(device_, 0);  // devices open paused
  return BASS_OK;
}

}  // namespace

std::unique_ptr<Output> OpenSdlOutput(const char* sdlName, int freq, Mixer& mixer, int* error) {
  // Made before the device opens, so nothing can fail between opening the device
  // and owning it (an unowned open device would call a freed mixer).
  auto output = std::make_unique<SdlOutput>();
  *error = output->Open(sdlName, freq, mixer);
  if (*error != BASS_OK) return nullptr;
  return output;
}

}  // namespace tw::engine
