// tunewell-play URL [--seconds N] [--device I]
// Plays a URL through the engine and prints each status line, tag block and sync
// as it comes, one line each, and the channel's state ("state: playing",
// "state: stalled", "state: stopped") when it changes. A station that drops is
// reconnected for as long as it plays, as the player does. Exits 0 at the stream's end or after N
// seconds, and with the engine's error code when the connect fails.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine.h"

namespace {

std::mutex g_print;
bool g_closed = false;  // guarded by g_print: nothing more is printed
std::atomic<bool> g_ended{false};

void Print(const std::string& line) {
  std::lock_guard lock(g_print);
  if (g_closed) return;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The engine's callbacks may still run after BASS_Free returns (it never waits
// for them). At exit glibc switches stdout's buffer without its lock when a
// thread holds it for long, so a callback inside printf then could crash the
// process: once closed, callbacks print nothing, and one printing now is
// waited for.
void ClosePrinting() {
  std::lock_guard lock(g_print);
  g_closed = true;
}

// A tag list (NUL-separated, ended by an empty string) joined with " | ".
std::string JoinList(const char* list) {
  std::string out;
  for (const char* p = list; p && *p; p += std::strlen(p) + 1) {
    if (!out.empty()) out += " | ";
    out += p;
  }
  return out;
}

void PrintTags(HSTREAM stream) {
  struct {
    DWORD type;
    const char* name;
    bool list;
  } tags[] = {{BASS_TAG_ICY, "icy", true},
              {BASS_TAG_HTTP, "http", true},
              {BASS_TAG_META, "meta", false},
              {BASS_TAG_OGG, "ogg", true},
              {BASS_TAG_HLS_EXTINF, "hls", false}};
  for (const auto& tag : tags) {
    const char* text = BASS_ChannelGetTags(stream, tag.type);
    if (text) Print(std::string("tag ") + tag.name + ": " + (tag.list ? JoinList(text) : text));
  }
}

void OnStatus(const void* buffer, DWORD length, void*) {
  if (buffer && length == 0) Print(std::string("status: ") + static_cast<const char*>(buffer));
}

void OnMeta(HSYNC, DWORD channel, DWORD, void* user) {
  Print(std::string("sync ") + static_cast<const char*>(user));
  PrintTags(channel);
}

void OnStall(HSYNC, DWORD, DWORD data, void*) {
  Print(data == 0 ? "sync stall: stalled" : "sync stall: resumed");
}

void OnEnd(HSYNC, DWORD, DWORD, void*) {
  Print("sync end");
  g_ended = true;
}

int Usage() {
  std::fprintf(stderr, "usage: tunewell-play URL [--seconds N] [--device I]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const char* url = argv[1];
  double seconds = 0;
  int device = -1;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--device") == 0) {
      device = std::atoi(argv[i + 1]);
    } else {
      return Usage();
    }
  }
  if ((argc - 2) % 2 != 0) return Usage();

  if (!BASS_Init(device, 44100, 0, nullptr, nullptr)) {
    std::fprintf(stderr, "can't open the output device (error code: %d)\n", BASS_ErrorGetCode());
    return BASS_ErrorGetCode();
  }
  BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1);
  BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, BASS_NET_RECONNECT_FOREVER);
  const HSTREAM stream = BASS_StreamCreateURL(
      url, 0, BASS_STREAM_STATUS | BASS_STREAM_BLOCK | BASS_STREAM_AUTOFREE, OnStatus, nullptr);
  if (!stream) {
    const int error = BASS_ErrorGetCode();
    Print("error: can't play the stream (error code: " + std::to_string(error) + ")");
    BASS_Free();
    ClosePrinting();
    return error > 0 ? error : 1;
  }
  PrintTags(stream);
  static char meta[] = "meta", ogg[] = "ogg change", hls[] = "hls segment";
  BASS_ChannelSetSync(stream, BASS_SYNC_META, 0, OnMeta, meta);
  BASS_ChannelSetSync(stream, BASS_SYNC_OGG_CHANGE, 0, OnMeta, ogg);
  BASS_ChannelSetSync(stream, BASS_SYNC_HLS_SEGMENT, 0, OnMeta, hls);
  BASS_ChannelSetSync(stream, BASS_SYNC_STALL, 0, OnStall, nullptr);
  BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, OnEnd, nullptr);
  BASS_ChannelPlay(stream, 0);
  Print("playing");

  const auto start = std::chrono::steady_clock::now();
  DWORD shown = BASS_ACTIVE_PLAYING + 100;
  while (!g_ended) {
    const DWORD active = BASS_ChannelIsActive(stream);
    if (active != shown) {
      shown = active;
      Print(std::string("state: ") + (active == BASS_ACTIVE_PLAYING   ? "playing"
                                      : active == BASS_ACTIVE_STALLED ? "stalled"
                                                                      : "stopped"));
    }
    if (seconds > 0 &&
        std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(seconds)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  BASS_Free();
  ClosePrinting();
  return 0;
}
