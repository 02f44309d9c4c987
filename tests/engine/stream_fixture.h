// Shared by the stream tests: the engine on "No sound" (real-time paced, no sound
// card), a loopback radio server, test tones and helpers that look at what a
// listener got (the played samples, tags, syncs) within bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/internal.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/radio_server.h"
#include "tests/support/seconds_since.h"
#include "tests/support/test_audio.h"

namespace tw::engine::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tw::test::AudioFormat;
using tw::test::RadioServer;

inline constexpr int kRate = 44100;
inline constexpr double kToneHz = 1000;     // ~11 periods in the 512 frames GetData returns
inline constexpr double kToneLevel = 0.5;   // amplitude, of full scale
inline constexpr double kToneSeconds = 2;   // short: tests stop long before the end
inline constexpr milliseconds kWait{5000};  // bound of every wait for an event

// Polls until done() holds or the time is up; the result of the last check.
inline bool WaitFor(const std::function<bool()>& done, milliseconds timeout = kWait) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
}

using tw::test::SecondsSince;

// A test tone in a format, encoded once per process (encoding costs more than
// playing a second of it).
inline const std::string& Tone(AudioFormat format, double hz = kToneHz,
                               std::vector<std::pair<std::string, std::string>> comments = {},
                               double seconds = kToneSeconds, int channels = 2) {
  static std::mutex mutex;
  static std::map<std::tuple<AudioFormat, double, std::string, double, int>, std::string> cache;
  std::string key;
  for (const auto& [name, value] : comments) key += name + "=" + value + ";";
  std::lock_guard lock(mutex);
  auto& encoded = cache[{format, hz, key, seconds, channels}];
  if (encoded.empty()) {
    tw::test::ToneSpec tone;
    tone.frequency = hz;
    tone.amplitude = kToneLevel;
    tone.seconds = seconds;
    tone.channels = channels;
    if (channels == 1) tone.bitrate = 64000;
    tone.comments = std::move(comments);
    encoded = tw::test::EncodeTone(format, tone);
  }
  return encoded;
}

// A tag list (NUL-separated, ended by an empty string) as its entries.
inline std::vector<std::string> TagList(const char* list) {
  std::vector<std::string> entries;
  for (const char* p = list; p && *p; p += std::strlen(p) + 1) entries.emplace_back(p);
  return entries;
}

inline std::string TagText(HSTREAM stream, DWORD type) {
  const char* text = BASS_ChannelGetTags(stream, type);
  return text ? text : "";
}

// The 512 frames the stream played last, as the player's level meter gets them.
inline tw::test::ToneMeasure PlayedTone(HSTREAM stream) {
  int16_t samples[1024] = {};
  const DWORD bytes = BASS_ChannelGetData(stream, samples, sizeof samples);
  if (bytes != sizeof samples) return {};
  return tw::test::MeasureTone(samples, 512, kRate);
}

inline bool IsTone(const tw::test::ToneMeasure& m, double hz, double level = kToneLevel) {
  const double rms = level / std::sqrt(2.0);
  return std::abs(m.frequency - hz) <= 0.03 * hz && std::abs(m.rms - rms) <= 0.15 * rms;
}

// Waits until what the stream plays is the tone; the last measure either way.
inline tw::test::ToneMeasure WaitForTone(HSTREAM stream, double hz = kToneHz,
                                         milliseconds timeout = kWait) {
  tw::test::ToneMeasure m;
  WaitFor(
      [&] {
        m = PlayedTone(stream);
        return IsTone(m, hz);
      },
      timeout);
  return m;
}

// Every sync a stream sent, in order, with the tags the callback saw. Callbacks
// run on the engine's threads; readers take a copy.
class SyncLog {
 public:
  struct Entry {
    DWORD type;
    DWORD data;
    std::string meta;    // type 5 when the callback ran
    std::string extinf;  // type 0x14000
    std::vector<std::string> ogg;
    std::thread::id thread;
    int error;  // the engine error the callback's thread saw
  };

  void Watch(HSTREAM stream, DWORD type) {
    Slot* slot;
    {
      std::lock_guard lock(mutex_);
      slot = &slots_.emplace_back(Slot{this, type});
    }
    ASSERT_NE(BASS_ChannelSetSync(stream, type, 0, &SyncLog::Proc, slot), 0u)
        << "type " << type << ", error " << BASS_ErrorGetCode();
  }
  void WatchAll(HSTREAM stream) {
    for (DWORD type : {BASS_SYNC_END, BASS_SYNC_META, BASS_SYNC_STALL, BASS_SYNC_OGG_CHANGE,
                       BASS_SYNC_HLS_SEGMENT}) {
      Watch(stream, type);
    }
  }

  std::vector<Entry> Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::vector<Entry> Of(DWORD type) const {
    std::vector<Entry> out;
    for (const Entry& e : Entries())
      if (e.type == type) out.push_back(e);
    return out;
  }
  std::size_t Count(DWORD type) const { return Of(type).size(); }
  bool WaitCount(DWORD type, std::size_t count, milliseconds timeout = kWait) const {
    return WaitFor([&] { return Count(type) >= count; }, timeout);
  }

 private:
  // The callback is not told the sync's type: each registration has its own slot.
  struct Slot {
    SyncLog* log;
    DWORD type;
  };

  static void Proc(HSYNC, DWORD channel, DWORD data, void* user) {
    const auto* slot = static_cast<const Slot*>(user);
    SyncLog* log = slot->log;
    const int error = BASS_ErrorGetCode();
    Entry entry{slot->type,
                data,
                TagText(channel, BASS_TAG_META),
                TagText(channel, BASS_TAG_HLS_EXTINF),
                TagList(BASS_ChannelGetTags(channel, BASS_TAG_OGG)),
                std::this_thread::get_id(),
                error};
    std::lock_guard lock(log->mutex_);
    log->entries_.push_back(std::move(entry));
  }

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::list<Slot> slots_;  // stable addresses: the engine holds them as user values
};

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(BASS_Init(NoSoundDevice(), kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 0);
  }
  void TearDown() override {
    BASS_Free();
    BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 0);
    BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 10000);
    BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 20000);
  }

  HSTREAM Open(const std::string& path, DWORD flags = 0, DOWNLOADPROC* status = nullptr,
               void* user = nullptr) {
    const std::string url = server.Url(path);
    return BASS_StreamCreateURL(url.c_str(), 0, flags, status, user);
  }

  // A station sending `body` as fast as the engine reads it.
  void ServeAudio(const std::string& path, const std::string& contentType, std::string body) {
    RadioServer::Route route;
    route.headers = {"Content-Type: " + contentType};
    route.body = std::move(body);
    server.Serve(path, std::move(route));
  }

  // A log of its own for each stream a loop opens. Like `syncs`, it outlives the
  // streams (TearDown frees them), also when an assertion ends a test early.
  SyncLog& NewSyncLog() { return moreSyncs_.emplace_back(); }

  RadioServer server;
  SyncLog syncs;

 private:
  std::list<SyncLog> moreSyncs_;
};

}  // namespace tw::engine::test
