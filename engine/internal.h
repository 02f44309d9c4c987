// What the engine's parts share. Nothing here is part of the C API; the player only
// sees engine.h. No SDL in this header: tests include it without SDL's include path.
// Each section names the .cpp files that implement it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace tw::engine {

class Mixer;

// --- Errors (errors.cpp) ---------------------------------------------------------
// Each thread has its own code; a call changes only its caller's.
void SetError(int code);
inline BOOL Fail(int code) {
  SetError(code);
  return 0;
}
inline BOOL Succeed() {
  SetError(BASS_OK);
  return 1;
}

// Names the calling thread (at most 15 characters), so that a stream's threads
// can be told apart in a debugger, in top, and by tests that count them.
void NameThread(const char* name);

// Steady-clock time in nanoseconds, for times threads share through atomics.
inline int64_t SteadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// --- Configuration (config.cpp) --------------------------------------------------
// Readable from any thread; values are already clamped to their valid ranges.
DWORD ConfigBufferMs();
// Float DSP and the pre-buffer change nothing here (the mix is float anyway, and
// a stream starts as soon as it can); kept readable for the option tests.
bool ConfigFloatDsp();
DWORD ConfigNetPrebufPercent();
DWORD ConfigNetPlaylist();
DWORD ConfigNetTimeoutMs();
DWORD ConfigNetReadTimeoutMs();
DWORD ConfigNetReconnectMs();                 // BASS_NET_RECONNECT_FOREVER: no deadline
std::optional<std::string> ConfigNetProxy();  // nullopt: connect directly

// --- SDL's audio subsystem (sdl_audio.cpp) ---------------------------------------
// Brings SDL's audio subsystem up on first use (any thread) and keeps it up until
// the process ends: device names SDL hands out and open devices depend on it.
// Returns false when no SDL audio driver works; it tries again on the next call.
// The caller must hold SdlAudioMutex().
bool EnsureSdlAudioLocked();
// Serialises the engine's SDL audio calls (enumeration, open, close); SDL's own
// audio thread never takes it. Lock order: EngineState::mutex before this one.
// Taken only inside devices.cpp and output_sdl.cpp, never held across calls out.
std::mutex& SdlAudioMutex();

// --- Devices (devices.cpp) -------------------------------------------------------
enum class DeviceKind { kDefault, kSdl, kNoSound };

struct DeviceEntry {
  DeviceKind kind = DeviceKind::kNoSound;
  const char* name = "";    // interned: valid until the process ends
  const char* driver = "";  // interned as well
  DWORD flags = 0;          // ENABLED / DEFAULT; INIT is added by BASS_GetDeviceInfo
};

// The device list as it is now; the index is the device number. Index 0 is the
// system default, the last is "No sound". Takes SdlAudioMutex().
std::vector<DeviceEntry> ListDevices();

// Which device is open, kept by identity rather than by number so that the INIT
// flag follows the device if outputs are plugged in or out while it is open.
struct DeviceId {
  DeviceKind kind = DeviceKind::kNoSound;
  std::string name;  // the SDL device name for kSdl
  bool Matches(const DeviceEntry& entry) const;
};

// --- Output (output.cpp, output_sdl.cpp, output_null.cpp) ------------------------
// The engine's mix format: interleaved float32 stereo at the BASS_Init rate.
inline constexpr int kChannels = 2;

// An open output pulls audio from a mixer on its own thread from construction
// on. Destroying it stops that thread (joins it or closes the SDL device, which
// joins SDL's), so after the destructor returns the mixer is never called again.
class Output {
 public:
  virtual ~Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // A stream was started: an output that pulls on its own schedule may pull now
  // rather than at its next period. Any thread.
  virtual void Wake() {}
  // Silence played without the mixer (an output that sleeps while no stream is
  // attached), in frames. Any thread.
  virtual uint64_t SilentFrames() { return 0; }

 protected:
  Output() = default;
};

// sdlName null means the system default. On failure returns null and sets
// *error to a BASS_ERROR_ code. Takes SdlAudioMutex(), as does closing.
std::unique_ptr<Output> OpenSdlOutput(const char* sdlName, int freq, Mixer& mixer, int* error);
// The silent "No sound" output: a thread that consumes audio in real time while
// a stream is attached, and sleeps while none is.
std::unique_ptr<Output> OpenNullOutput(int freq, Mixer& mixer);

// --- Engine state (output.cpp) ---------------------------------------------------
// Everything BASS_Init creates and BASS_Free releases. Guarded by `mutex`, which
// API calls take and output threads never do (they only see the Mixer).
struct EngineState {
  std::mutex mutex;
  bool initialised = false;
  DeviceId device;
  int deviceIndex = -1;  // the number BASS_Init was given (-1 stored as 0)
  int freq = 0;
  // Declared before `output` so that, should the state ever be destroyed, the
  // output stops before the mixer it pulls from goes away.
  std::unique_ptr<Mixer> mixer;
  std::unique_ptr<Output> output;
};
// Never destroyed: output threads may still run while static destructors do at
// process exit, and they must not find their mixer gone.
EngineState& State();

// Streams join and leave the current output's mix (output.cpp). Attach fails when
// the engine is not initialised.
class Stream;
bool AttachToOutput(Stream* stream);
void DetachFromOutput(Stream* stream);
// Moves the output, and every stream with it, to another device. When the new
// device cannot be opened the old one is reopened; returns a BASS_ERROR_ code.
int SwitchOutput(int device);
// The output's rate, 0 when not initialised.
int OutputFreq();

// Frames the current output has played since BASS_Init, the silence of an idle
// "No sound" included; 0 when not initialised. For tests and diagnostics.
uint64_t FramesRendered();

// When the output first took decoded frames from the stream (mixer.cpp; steady clock
// nanoseconds since its epoch); 0 before that or for a stale handle. For the
// start-up latency benchmark.
int64_t FirstFrameMixedNanos(DWORD handle);

}  // namespace tw::engine
