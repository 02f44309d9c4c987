// Freeing while everything fires: many short plays of a station whose title
// changes every few hundred bytes, freed (the stream, or the whole engine) at
// the moment titles arrive, with callbacks that read the tags as the player's
// do; and the command-line player, which frees the engine and exits at once.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/stream_fixture.h"
#include "tests/support/child_process.h"

namespace tw::engine::test {
namespace {

// Sanitizers make each play several times dearer; the sanitizer run repeats
// what the plain one covers, with fewer rounds.
constexpr int kPlays =
#if defined(__SANITIZE_ADDRESS__)
    200;
#else
    600;
#endif
constexpr int kExits =
#if defined(__SANITIZE_ADDRESS__)
    20;
#else
    60;
#endif

// An ICY MP3 station bursting as fast as it is read, a new title every 256
// bytes.
RadioServer::Route TitleStorm() {
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Storm FM"};
  route.body = Tone(AudioFormat::kMp3);
  route.loopBody = true;
  route.metaint = 256;
  for (std::size_t i = 0; i < 400; ++i) {
    route.titles.push_back({i * 256, "StreamTitle='Title " + std::to_string(i) + "';"});
  }
  return route;
}

std::atomic<int> g_syncs{0};
std::atomic<std::size_t> g_tagBytes{0};

// As the player's callbacks: read the tags, copy them.
void ReadTags(HSYNC, DWORD channel, DWORD, void*) {
  std::string copy;
  for (DWORD type : {BASS_TAG_META, BASS_TAG_ICY, BASS_TAG_HTTP, BASS_TAG_OGG}) {
    if (const char* text = BASS_ChannelGetTags(channel, type)) copy += text;
  }
  g_tagBytes.fetch_add(copy.size());
  g_syncs.fetch_add(1);
}

// A callback that frees its own stream (as an end sync of the player's can,
// through a new connect).
void FreeOwnStream(HSYNC, DWORD channel, DWORD, void*) {
  BASS_StreamFree(channel);
  g_syncs.fetch_add(1);
}

// Catches a use after free, a crash or a hang in BASS_StreamFree and
// BASS_Free while syncs fire, a callback frees its stream, and the status
// callback runs.
TEST_F(StreamTest, FreeingWhileSyncsFireIsSafe) {
  server.Serve("/storm", TitleStorm());
  std::minstd_rand random(12345);
  std::atomic<int> statusLines{0};
  auto status = [](const void* buffer, DWORD length, void* user) {
    if (buffer && length == 0) static_cast<std::atomic<int>*>(user)->fetch_add(1);
  };
  int opened = 0;
  for (int i = 0; i < kPlays; ++i) {
    const HSTREAM stream =
        Open("/storm", BASS_STREAM_STATUS | BASS_STREAM_AUTOFREE, status, &statusLines);
    if (stream == 0) continue;  // a free of the whole engine raced its connect
    ++opened;
    BASS_ChannelSetSync(stream, BASS_SYNC_META, 0, ReadTags, nullptr);
    BASS_ChannelSetSync(stream, BASS_SYNC_STALL, 0, ReadTags, nullptr);
    BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, ReadTags, nullptr);
    if (i % 7 == 3) BASS_ChannelSetSync(stream, BASS_SYNC_META, 0, FreeOwnStream, nullptr);
    BASS_ChannelPlay(stream, 0);
    // Until a title or two has fired, or a moment passed.
    const int before = g_syncs.load();
    const int wanted = static_cast<int>(random() % 3);
    WaitFor([&] { return g_syncs.load() - before >= wanted; },
            milliseconds(static_cast<int>(random() % 40)));
    if (i % 5 == 4) {
      ASSERT_TRUE(BASS_Free());
      ASSERT_TRUE(BASS_Init(NoSoundDevice(), kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    } else {
      BASS_StreamFree(stream);
    }
  }
  EXPECT_GT(opened, kPlays / 2);
  EXPECT_GT(g_syncs.load(), kPlays / 2) << "the titles did not fire while freeing";
  EXPECT_GT(g_tagBytes.load(), 0u);
}

// Catches the command-line player dying at exit (a crash report on every
// desktop that collects them) when it frees the engine with titles firing.
TEST(PlayerExit, ShortPlaysEndCleanly) {
  RadioServer server;
  server.Serve("/storm", TitleStorm());
  const std::string url = server.Url("/storm");
  int crashed = 0;
  std::string lastOutput;
  for (int i = 0; i < kExits; ++i) {
    const std::string seconds = std::to_string(0.02 + 0.01 * (i % 8));
    tw::test::ChildProcess play(TW_PLAY_EXE, {url, "--seconds", seconds},
                                {"SDL_AUDIODRIVER=dummy"});
    const int code = play.Wait(milliseconds(20000));
    if (code != 0) {
      ++crashed;
      lastOutput = "exit " + std::to_string(code) + ":\n" + play.output();
    }
  }
  EXPECT_EQ(crashed, 0) << lastOutput;
}

}  // namespace
}  // namespace tw::engine::test
