// Opening and closing the output: BASS_Init, BASS_Free, BASS_GetDevice.
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "engine/engine.h"
#include "engine/internal.h"
#include "engine/mixer.h"
#include "engine/stream_table.h"

namespace tw::engine {

namespace {

// Beyond what any sound card plays; also keeps the rate far from int overflow.
constexpr DWORD kMaxFreq = 384000;

}  // namespace

EngineState& State() {
  static EngineState* state = new EngineState;
  return *state;
}

bool AttachToOutput(Stream* stream) {
  EngineState& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.mixer) return false;
  // A free on another thread kills before it detaches (under this lock): a
  // stream it has killed must not be attached behind its back, or the mixer
  // would keep a stream that nobody keeps alive.
  if (stream->freed) return true;
  state.mixer->Add(stream);
  if (state.output) state.output->Wake();
  return true;
}

void DetachFromOutput(Stream* stream) {
  EngineState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.mixer) state.mixer->Remove(stream);
}

namespace {

std::unique_ptr<Output> OpenOutputFor(const DeviceEntry& entry, int rate, Mixer& mixer,
                                      int* error) {
  switch (entry.kind) {
    case DeviceKind::kDefault:
      return OpenSdlOutput(nullptr, rate, mixer, error);
    case DeviceKind::kSdl:
      return OpenSdlOutput(entry.name, rate, mixer, error);
    case DeviceKind::kNoSound:
      return OpenNullOutput(rate, mixer);
  }
  *error = BASS_ERROR_DEVICE;
  return nullptr;
}

}  // namespace

int SwitchOutput(int device) {
  const int index = device == -1 ? 0 : device;
  if (index < 0) return BASS_ERROR_DEVICE;
  EngineState& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.initialised) return BASS_ERROR_INIT;
  if (index == state.deviceIndex) return BASS_OK;
  const std::vector<DeviceEntry> list = ListDevices();
  if (static_cast<std::size_t>(index) >= list.size()) return BASS_ERROR_DEVICE;
  const DeviceEntry& entry = list[static_cast<std::size_t>(index)];
  // One output at a time pulls from the mixer: close the old one first, and
  // reopen it when the new one fails.
  state.output.reset();
  int error = BASS_OK;
  std::unique_ptr<Output> output = OpenOutputFor(entry, state.freq, *state.mixer, &error);
  if (!output) {
    int ignored = BASS_OK;
    for (const DeviceEntry& old : list) {
      if (state.device.Matches(old)) {
        state.output = OpenOutputFor(old, state.freq, *state.mixer, &ignored);
        break;
      }
    }
    return error;
  }
  state.output = std::move(output);
  state.device = DeviceId{entry.kind, entry.kind == DeviceKind::kSdl ? entry.name : ""};
  state.deviceIndex = index;
  return BASS_OK;
}

int OutputFreq() {
  EngineState& state = State();
  std::lock_guard lock(state.mutex);
  return state.initialised ? state.freq : 0;
}

uint64_t FramesRendered() {
  EngineState& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.mixer) return 0;
  return state.mixer->FramesRendered() + (state.output ? state.output->SilentFrames() : 0);
}

}  // namespace tw::engine

using namespace tw::engine;

extern "C" BOOL BASS_Init(int device, DWORD freq, DWORD /*flags*/, void* /*win*/,
                          const void* /*clsid*/) {
  // Flags (3D is the only one the player passes), the window and the class id
  // mean nothing to this engine.
  if (freq == 0 || freq > kMaxFreq) return Fail(BASS_ERROR_ILLPARAM);
  if (device < -1) return Fail(BASS_ERROR_DEVICE);
  const int index = device == -1 ? 0 : device;
  try {
    EngineState& state = State();
    std::lock_guard lock(state.mutex);
    if (state.initialised) return Fail(BASS_ERROR_ALREADY);

    const std::vector<DeviceEntry> list = ListDevices();
    if (static_cast<std::size_t>(index) >= list.size()) return Fail(BASS_ERROR_DEVICE);
    const DeviceEntry& entry = list[static_cast<std::size_t>(index)];

    const int rate = static_cast<int>(freq);
    auto mixer = std::make_unique<Mixer>(rate);
    int error = BASS_OK;
    std::unique_ptr<Output> output = OpenOutputFor(entry, rate, *mixer, &error);
    if (!output) return Fail(error);

    state.device = DeviceId{entry.kind, entry.kind == DeviceKind::kSdl ? entry.name : ""};
    state.deviceIndex = index;
    state.freq = rate;
    state.mixer = std::move(mixer);
    state.output = std::move(output);
    state.initialised = true;
    return Succeed();
  } catch (const std::bad_alloc&) {
    return Fail(BASS_ERROR_MEM);
  } catch (const std::exception&) {  // e.g. no thread could be started
    return Fail(BASS_ERROR_UNKNOWN);
  }
}

extern "C" BOOL BASS_Free(void) {
  EngineState& state = State();
  {
    std::lock_guard lock(state.mutex);
    if (!state.initialised) return Fail(BASS_ERROR_INIT);
  }
  // Every stream goes with the device; none waits for its callbacks.
  for (const auto& stream : AllStreams()) FreeStream(stream->handle);
  std::lock_guard lock(state.mutex);
  if (!state.initialised) return Fail(BASS_ERROR_INIT);
  // Stop the output first: its thread may be inside the mixer right now.
  state.output.reset();
  state.mixer.reset();
  state.initialised = false;
  state.device = DeviceId{};
  state.deviceIndex = -1;
  state.freq = 0;
  return Succeed();
}

extern "C" DWORD BASS_GetDevice(void) {
  EngineState& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.initialised) {
    SetError(BASS_ERROR_INIT);
    return static_cast<DWORD>(-1);
  }
  SetError(BASS_OK);
  return static_cast<DWORD>(state.deviceIndex);
}
