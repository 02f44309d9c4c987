#include "app/status_display.h"

#include <gtest/gtest.h>

#include "engine/engine.h"

namespace tw {
namespace {

intptr_t Text(const char* text) { return reinterpret_cast<intptr_t>(text); }

// The middle line drops " Import..." and everything after it, counting characters.
TEST(StationName, ImportRule) {
  struct {
    const char* name;
    const char* shown;
  } cases[] = {
      {"Jazz Lounge Import Mix", "Jazz Lounge"},
      {"Import Radio", ""},  // p = 1
      {"XImport", ""},       // p = 2 keeps nothing
      {"AB Import", "AB"},
      {"Radio import", "Radio import"},  // case-sensitive
      {"Plain Station", "Plain Station"},
      {"", ""},
      {"Caf\xC3\xA9 Import", "Caf\xC3\xA9"},  // UTF-8 name, counted in characters
      {"Caf\xE9 Import", "Caf\xC3\xA9"},      // 8-bit name
      {"Bj\xC3\xB6rk FM", "Bj\xC3\xB6rk FM"},
  };
  for (const auto& c : cases) EXPECT_EQ(StationNameText(c.name), c.shown) << c.name;
}

// The monitor tick's buffering arithmetic: catches 0 or the error value (all
// ones) shown as a percentage, the sum taken from the wrong end (a reading of 1 is
// 99% done), bits above 32 counted, and an overflow on a huge low word.
TEST(MonitorTick, BufferingReadingToPercent) {
  struct {
    uint64_t reading;
    bool shown;
    const char* text;
  } cases[] = {
      {100, true, "buffering... 0%"},
      {1, true, "buffering... 99%"},
      {37, true, "buffering... 63%"},
      {0x100000005ull, true, "buffering... 95%"},
      {0x80000000ull, true, "buffering... -2147483548%"},
      {0, false, nullptr},
      {~0ull, false, nullptr},
      {0x8000000000000000ull, false, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsShownBufferingReading(c.reading), c.shown) << c.reading;
    if (c.shown) {
      EXPECT_EQ(StatusUpdateFor(kStatusBuffering, BufferingPercent(c.reading)).state, c.text)
          << c.reading;
    }
  }
}

// The monitor tick while the stream does not play: catches "reconnecting..."
// shown over a stream that still buffers from a live connection (or has not
// started, or has ended), and a dry one that waits for the network left at
// "buffering... 0%" for as long as the network is gone.
TEST(MonitorTick, ReconnectingWhenDryAndUnconnected) {
  struct {
    DWORD active;
    QWORD connected;
    bool reconnecting;
  } cases[] = {
      {BASS_ACTIVE_STALLED, 0, true},      {BASS_ACTIVE_STALLED, 1, false},
      {BASS_ACTIVE_STOPPED, 0, false},     {BASS_ACTIVE_PLAYING, 0, false},
      {BASS_ACTIVE_STALLED, ~0ull, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsReconnecting(c.active, c.connected), c.reconnecting) << c.active << c.connected;
  }
  const StatusUpdate update = StatusUpdateFor(kStatusReconnecting, 0);
  EXPECT_EQ(update.state, "reconnecting...");
  EXPECT_FALSE(update.title || update.bottom || update.showPlayError);
}

// Each code changes exactly its lines; unknown codes change nothing.
TEST(StatusUpdate, CodesChangeTheirLines) {
  StatusUpdate connecting = StatusUpdateFor(kStatusConnecting, 0);
  EXPECT_EQ(connecting.state, "connecting...");
  EXPECT_EQ(connecting.title, "");
  EXPECT_EQ(connecting.bottom, "");
  EXPECT_FALSE(connecting.showPlayError);

  StatusUpdate failed = StatusUpdateFor(kStatusNotPlaying, 1234);
  EXPECT_EQ(failed.state, "not playing");
  EXPECT_FALSE(failed.title.has_value());
  EXPECT_FALSE(failed.bottom.has_value());
  EXPECT_TRUE(failed.showPlayError);

  EXPECT_EQ(StatusUpdateFor(kStatusBuffering, 0).state, "buffering... 0%");
  EXPECT_EQ(StatusUpdateFor(kStatusBuffering, 99).state, "buffering... 99%");
  EXPECT_EQ(StatusUpdateFor(kStatusBuffering, -5).state, "buffering... -5%");

  StatusUpdate name = StatusUpdateFor(kStatusStationName, Text("Jazz Lounge Import Mix"));
  EXPECT_EQ(name.state, "Jazz Lounge");
  EXPECT_FALSE(name.title.has_value());
  EXPECT_FALSE(name.bottom.has_value());

  StatusUpdate rate = StatusUpdateFor(kStatusBitRate, Text("bitrate: 128"));
  EXPECT_EQ(rate.bottom, "bitrate: 128");
  EXPECT_FALSE(rate.state.has_value());

  StatusUpdate title = StatusUpdateFor(kStatusTitle, Text("Simon & Garfunkel"));
  EXPECT_EQ(title.title, "Simon & Garfunkel");
  EXPECT_FALSE(title.state.has_value());

  EXPECT_EQ(StatusUpdateFor(kStatusServerLine, Text("ICY 200 OK")).bottom, "ICY 200 OK");

  for (int unknown : {-1, 5, 6, 9, 101}) {
    StatusUpdate none = StatusUpdateFor(unknown, Text("x"));
    EXPECT_FALSE(none.title || none.state || none.bottom || none.showPlayError) << unknown;
  }
}

// Titles come as UTF-8 or as 8-bit text; neither turns into replacement characters.
TEST(StatusUpdate, TextEncodings) {
  EXPECT_EQ(StatusUpdateFor(kStatusTitle, Text("Bj\xC3\xB6rk - Army of Me")).title,
            "Bj\xC3\xB6rk - Army of Me");
  EXPECT_EQ(StatusUpdateFor(kStatusTitle, Text("Bj\xF6rk - Army of Me")).title,
            "Bj\xC3\xB6rk - Army of Me");
  EXPECT_EQ(StatusUpdateFor(kStatusServerLine, Text("icy-name:Caf\xE9")).bottom,
            "icy-name:Caf\xC3\xA9");
  // A null text shows an empty line rather than crashing.
  EXPECT_EQ(StatusUpdateFor(kStatusTitle, 0).title, "");
}

}  // namespace
}  // namespace tw
