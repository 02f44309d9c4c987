// The device list: "Default", then every output SDL lists, then "No sound".
#include <SDL.h>

#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/engine.h"
#include "engine/internal.h"

namespace tw::engine {

namespace {

// BASS_DEVICEINFO hands out name pointers the caller may keep for as long as the
// process runs, while SDL frees its names when it re-enumerates. So every text
// handed out gets one engine-owned copy, never freed. The set of outputs a
// machine has is small, so this does not grow without bound.
const char* Intern(std::string_view text) {
  static std::mutex* mutex = new std::mutex;
  static auto* texts = new std::unordered_set<std::string>;  // nodes never move
  std::lock_guard lock(*mutex);
  return texts->emplace(text).first->c_str();
}

}  // namespace

bool DeviceId::Matches(const DeviceEntry& entry) const {
  if (entry.kind != kind) return false;
  return kind != DeviceKind::kSdl || name == entry.name;
}

std::vector<DeviceEntry> ListDevices() {
  std::vector<DeviceEntry> list;
  std::lock_guard lock(SdlAudioMutex());
  const bool sdlUp = EnsureSdlAudioLocked();
  const char* driver =
      Intern(sdlUp && SDL_GetCurrentAudioDriver() ? SDL_GetCurrentAudioDriver() : "");

  // Listed even without a working SDL driver, so that index 0 always means the
  // default; opening it then fails with BASS_ERROR_DRIVER.
  list.push_back({DeviceKind::kDefault, Intern("Default"), driver,
                  BASS_DEVICE_DEFAULT | (sdlUp ? BASS_DEVICE_ENABLED : 0u)});
  if (sdlUp) {
    const int count = SDL_GetNumAudioDevices(0);
    for (int i = 0; i < count; ++i) {
      const char* name = SDL_GetAudioDeviceName(i, 0);
      if (!name) break;  // unplugged while we were listing
      list.push_back({DeviceKind::kSdl, Intern(name), driver, BASS_DEVICE_ENABLED});
    }
  }
  list.push_back({DeviceKind::kNoSound, Intern("No sound"), Intern(""), BASS_DEVICE_ENABLED});
  return list;
}

}  // namespace tw::engine

using namespace tw::engine;

extern "C" BOOL BASS_GetDeviceInfo(DWORD device, BASS_DEVICEINFO* info) {
  if (!info) return Fail(BASS_ERROR_ILLPARAM);
  // Read what is open before listing: the state lock comes before SDL's.
  std::optional<DeviceId> open;
  {
    EngineState& state = State();
    std::lock_guard lock(state.mutex);
    if (state.initialised) open = state.device;
  }
  std::vector<DeviceEntry> list;
  try {
    list = ListDevices();
  } catch (const std::bad_alloc&) {
    return Fail(BASS_ERROR_MEM);
  }
  if (device >= list.size()) return Fail(BASS_ERROR_DEVICE);
  const DeviceEntry& entry = list[device];
  info->name = entry.name;
  info->driver = entry.driver;
  info->flags = entry.flags | (open && open->Matches(entry) ? BASS_DEVICE_INIT : 0u);
  return Succeed();
}
