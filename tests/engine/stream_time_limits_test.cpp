// Every phase of a connect ends in bounded time, however slowly a hostile
// server sends: headers, the first playable audio, and the data during play.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/engine/stream_fixture.h"

namespace tw::engine::test {
namespace {

class TimeLimitTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 1000);
    BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 2000);
  }
  void TearDown() override {
    StreamTest::TearDown();
    BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, 30000);
  }
};

std::string Junk(std::size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Catches a creation that a trickling server holds for good (headers or body
// at 4 bytes a second), junk that takes long to refuse because it comes
// slowly, and the wrong code for each.
TEST_F(TimeLimitTest, SlowServersEndTheConnect) {
  struct Case {
    const char* name;
    RadioServer::Route route;
    int error;
    double limitS;  // when the creation must have returned at the latest
  };
  RadioServer::Route headers;
  headers.rawResponse =
      "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name: " + std::string(200, 'x') +
      "\r\n\r\n";
  headers.bytesPerSecond = 4;
  RadioServer::Route body;
  body.headers = {"Content-Type: audio/mpeg"};
  body.body = Tone(AudioFormat::kMp3);
  body.bytesPerSecond = 4;
  RadioServer::Route junk;
  junk.headers = {"Content-Type: audio/mpeg"};
  junk.body = Junk(64 * 1024);
  junk.bytesPerSecond = 4000;
  const Case cases[] = {
      // The connect time-out (1 s) and 5 s for the headers.
      {"headers at 4 bytes a second", headers, BASS_ERROR_TIMEOUT, 7.5},
      // The read time-out (2 s) from the first body byte.
      {"audio at 4 bytes a second", body, BASS_ERROR_TIMEOUT, 4},
      {"junk at 4 KB a second", junk, BASS_ERROR_FILEFORM, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.Serve("/slow", c.route);
    const Clock::time_point start = Clock::now();
    const HSTREAM stream = Open("/slow");
    EXPECT_EQ(stream, 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), c.error);
    EXPECT_LT(SecondsSince(start), c.limitS);
    BASS_StreamFree(stream);
    EXPECT_TRUE(WaitFor([&] { return server.LiveConnections("/slow") == 0; }));
  }
}

// Catches a playback no-data time-out that is seconds longer than the one set.
TEST_F(TimeLimitTest, SilentStationTimesOutOnTime) {
  BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, 0);
  RadioServer::Route route;
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = Tone(AudioFormat::kMp3, kToneHz, {}, 4);
  route.bytesPerSecond = 16000;
  route.burstBytes = 32000;
  route.pauses = {{32000, 60000}};
  server.Serve("/silent", route);
  const HSTREAM stream = Open("/silent");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  const Clock::time_point sent = Clock::now();  // the burst is all there is
  SyncLog& log = NewSyncLog();
  log.Watch(stream, BASS_SYNC_END);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  ASSERT_TRUE(WaitFor([&] { return server.LiveConnections("/silent") == 0; }));
  const double silentFor = SecondsSince(sent);
  EXPECT_GE(silentFor, 1.5);
  EXPECT_LE(silentFor, 3.2);
  ASSERT_TRUE(log.WaitCount(BASS_SYNC_END, 1));
  EXPECT_EQ(log.Of(BASS_SYNC_END).front().error, BASS_ERROR_TIMEOUT);
  BASS_StreamFree(stream);
}

}  // namespace
}  // namespace tw::engine::test
