// Engine options. The player sets them before and after BASS_Init; stream code
// (on its own threads) reads them through the Config* accessors in internal.h.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "engine/engine.h"
#include "engine/internal.h"

namespace tw::engine {

namespace {

// Ranges: a playback buffer outside 10 ms..5 s cannot work as a buffer (and later
// sizes allocations), a pre-buffer is a percentage, playlist handling is 0..2.
constexpr DWORD kBufferMinMs = 10;
constexpr DWORD kBufferMaxMs = 5000;
constexpr DWORD kPrebufMaxPercent = 100;
constexpr DWORD kPlaylistMax = 2;

struct Config {
  std::atomic<DWORD> bufferMs{500};
  std::atomic<DWORD> floatDsp{0};
  std::atomic<DWORD> netPrebuf{75};
  std::atomic<DWORD> netPlaylist{0};
  std::atomic<DWORD> netTimeoutMs{10000};
  std::atomic<DWORD> netReadTimeoutMs{20000};
  std::atomic<DWORD> netReconnectMs{30000};
  std::mutex proxyMutex;
  std::optional<std::string> proxy;  // guarded by proxyMutex
};

Config& TheConfig() {
  static Config* config = new Config;  // never destroyed: read by threads until exit
  return *config;
}

}  // namespace

DWORD ConfigBufferMs() { return TheConfig().bufferMs.load(); }
bool ConfigFloatDsp() { return TheConfig().floatDsp.load() != 0; }
DWORD ConfigNetPrebufPercent() { return TheConfig().netPrebuf.load(); }
DWORD ConfigNetPlaylist() { return TheConfig().netPlaylist.load(); }
DWORD ConfigNetTimeoutMs() { return TheConfig().netTimeoutMs.load(); }
DWORD ConfigNetReadTimeoutMs() { return TheConfig().netReadTimeoutMs.load(); }
DWORD ConfigNetReconnectMs() { return TheConfig().netReconnectMs.load(); }

std::optional<std::string> ConfigNetProxy() {
  Config& config = TheConfig();
  std::lock_guard lock(config.proxyMutex);
  return config.proxy;
}

}  // namespace tw::engine

using namespace tw::engine;

extern "C" BOOL BASS_SetConfig(DWORD option, DWORD value) {
  Config& config = TheConfig();
  switch (option) {
    case BASS_CONFIG_BUFFER:
      config.bufferMs.store(std::clamp(value, kBufferMinMs, kBufferMaxMs));
      return Succeed();
    case BASS_CONFIG_FLOATDSP:
      config.floatDsp.store(value != 0 ? 1 : 0);
      return Succeed();
    case BASS_CONFIG_NET_PREBUF:
      config.netPrebuf.store(std::min(value, kPrebufMaxPercent));
      return Succeed();
    case BASS_CONFIG_NET_PLAYLIST:
      config.netPlaylist.store(std::min(value, kPlaylistMax));
      return Succeed();
    case BASS_CONFIG_NET_TIMEOUT:
      config.netTimeoutMs.store(std::clamp<DWORD>(value, 100, 600000));
      return Succeed();
    case BASS_CONFIG_NET_READTIMEOUT:
      config.netReadTimeoutMs.store(std::clamp<DWORD>(value, 100, 600000));
      return Succeed();
    case BASS_CONFIG_NET_RECONNECT:
      config.netReconnectMs.store(
          value == BASS_NET_RECONNECT_FOREVER ? value : std::min<DWORD>(value, 3600000));
      return Succeed();
    default:
      return Fail(BASS_ERROR_ILLPARAM);
  }
}

extern "C" DWORD BASS_GetConfig(DWORD option) {
  Config& config = TheConfig();
  switch (option) {
    case BASS_CONFIG_BUFFER:
      SetError(BASS_OK);
      return config.bufferMs.load();
    case BASS_CONFIG_FLOATDSP:
      SetError(BASS_OK);
      return config.floatDsp.load();
    case BASS_CONFIG_NET_PREBUF:
      SetError(BASS_OK);
      return config.netPrebuf.load();
    case BASS_CONFIG_NET_PLAYLIST:
      SetError(BASS_OK);
      return config.netPlaylist.load();
    case BASS_CONFIG_NET_TIMEOUT:
      SetError(BASS_OK);
      return config.netTimeoutMs.load();
    case BASS_CONFIG_NET_READTIMEOUT:
      SetError(BASS_OK);
      return config.netReadTimeoutMs.load();
    case BASS_CONFIG_NET_RECONNECT:
      SetError(BASS_OK);
      return config.netReconnectMs.load();
    default:
      // Also the proxy: it is a text, which a DWORD cannot carry.
      SetError(BASS_ERROR_ILLPARAM);
      return static_cast<DWORD>(-1);
  }
}

extern "C" BOOL BASS_SetConfigPtr(DWORD option, const void* value) {
  if (option != BASS_CONFIG_NET_PROXY) return Fail(BASS_ERROR_ILLPARAM);
  // The caller's text may go away as soon as we return, so keep a copy. An empty
  // text means no proxy, like a null one.
  std::optional<std::string> proxy;
  const char* text = static_cast<const char*>(value);
  try {
    if (text && *text) proxy.emplace(text);
  } catch (const std::bad_alloc&) {
    return Fail(BASS_ERROR_MEM);
  }
  Config& config = TheConfig();
  {
    std::lock_guard lock(config.proxyMutex);
    config.proxy = std::move(proxy);
  }
  return Succeed();
}
