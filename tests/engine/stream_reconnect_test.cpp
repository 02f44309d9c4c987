// A live stream whose connection drops: reopened with back-off while what is
// buffered plays on, the new response's headers and titles as on a first
// connect, and an end only when the station is really gone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/stream_fixture.h"

namespace tw::engine::test {
namespace {

// 128 kbit/s MP3, in bytes per second of audio.
constexpr double kMp3BytesPerSecond = 16000;
constexpr double kSecondHz = 1500;

class ReconnectTest : public StreamTest {
 protected:
  void TearDown() override {
    StreamTest::TearDown();
    BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, 30000);
    BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 0);
  }

  // An ICY MP3 station paced in real time after a burst of burstSeconds.
  static RadioServer::Route Station(double hz, const char* title, double burstSeconds) {
    RadioServer::Route route;
    route.statusLine = "ICY 200 OK";
    route.headers = {"Content-Type: audio/mpeg", std::string("icy-name:") + title + " FM"};
    route.body = Tone(AudioFormat::kMp3, hz);
    route.loopBody = true;
    route.metaint = 4000;
    route.titles = {{0, std::string("StreamTitle='") + title + "';"}};
    route.bytesPerSecond = kMp3BytesPerSecond;
    route.burstBytes = static_cast<size_t>(burstSeconds * kMp3BytesPerSecond);
    return route;
  }
};

// What the listener heard, polled: when each tone was first and last heard.
struct Heard {
  double firstA = -1, lastA = -1, firstB = -1;
  bool aAfterB = false;
  bool stalled = false;  // BASS_ChannelIsActive said so at some poll

  void Poll(HSTREAM stream, Clock::time_point start) {
    stalled = stalled || BASS_ChannelIsActive(stream) == BASS_ACTIVE_STALLED;
    const tw::test::ToneMeasure m = PlayedTone(stream);
    const double t = SecondsSince(start);
    if (IsTone(m, kToneHz)) {
      if (firstA < 0) firstA = t;
      lastA = t;
      if (firstB >= 0) aAfterB = true;
    } else if (IsTone(m, kSecondHz) && firstB < 0) {
      firstB = t;
    }
  }
};

// Catches a drop that ends the stream, buffered audio thrown away or played
// again on the reconnect, the new response's headers and title not reaching
// the tags and syncs, and a missing stall or resume while the buffer is dry.
TEST_F(ReconnectTest, DroppedStationComesBackAndPlaysOn) {
  struct Case {
    const char* name;
    const char* path;
    bool reset;       // a TCP reset; else the server closes the connection
    bool inMetadata;  // the reset cuts a metadata block
    int answerMs;     // the reconnect is answered this late
  } cases[] = {
      {"reset", "/reset", true, false, 0},
      {"closed", "/closed", false, false, 0},
      {"reset inside a metadata block", "/cut", true, true, 0},
      {"answered after the buffer ran dry", "/late", true, false, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Two seconds burst and one more paced, then the drop: at the drop about
    // two seconds are still to play, which must neither be lost nor repeat.
    RadioServer::Route first = Station(kToneHz, "One", 2);
    constexpr double kSentSeconds = 3;
    first.dropAfterBytes = static_cast<size_t>(kSentSeconds * kMp3BytesPerSecond);
    first.dropAfterBytes -= first.dropAfterBytes % first.metaint;  // at a metadata point
    first.dropInMetadata = c.inMetadata;
    if (!c.reset) {
      first.loopBody = false;
      first.body = Tone(AudioFormat::kMp3, kToneHz, {},
                        static_cast<double>(first.dropAfterBytes) / kMp3BytesPerSecond);
      first.dropAfterBytes = 0;
    }
    server.Serve(c.path, first);
    SyncLog& log = NewSyncLog();
    const HSTREAM stream = Open(c.path);
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    // The station's second response, for the reconnect only.
    RadioServer::Route second = Station(kSecondHz, "Two", 0);
    second.delayMs = c.answerMs;
    server.Serve(c.path, second);
    log.WatchAll(stream);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));

    Heard heard;
    WaitFor(
        [&] {
          heard.Poll(stream, start);
          return heard.firstB >= 0 && SecondsSince(start) > heard.firstB + 0.5;
        },
        milliseconds(12000));
    ASSERT_GE(heard.firstB, 0) << "the second response never played";
    EXPECT_FALSE(heard.aAfterB) << "audio from before the drop played after the reconnect";
    // All that was sent before the drop plays (less a cut frame and the 512
    // frames the measure spans), and no more.
    const double sent =
        static_cast<double>(first.dropAfterBytes > 0 ? first.dropAfterBytes : first.body.size()) /
        kMp3BytesPerSecond;
    // (A stall freezes what the measure sees: only without one is this exact.)
    if (c.answerMs == 0) {
      EXPECT_NEAR(heard.lastA - heard.firstA, sent, 0.3);
    }
    EXPECT_EQ(server.Requests(c.path), 2);
    EXPECT_EQ(log.Count(BASS_SYNC_END), 0u);
    EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_PLAYING));
    EXPECT_THAT(TagList(BASS_ChannelGetTags(stream, BASS_TAG_ICY)),
                ::testing::Contains("icy-name:Two FM"));
    EXPECT_EQ(TagText(stream, BASS_TAG_META), "StreamTitle='Two';");
    std::vector<std::string> titles;
    for (const auto& entry : log.Of(BASS_SYNC_META)) titles.push_back(entry.meta);
    EXPECT_THAT(titles, ::testing::Contains("StreamTitle='Two';"));
    EXPECT_THAT(titles, ::testing::Not(::testing::Contains(::testing::HasSubstr("x"))))
        << "a cut block became a title";
    // Two seconds buffered cover a reconnect after half a second; an answer
    // three seconds late does not: a stall, then a resume.
    std::vector<DWORD> stalls;
    for (const auto& entry : log.Of(BASS_SYNC_STALL)) stalls.push_back(entry.data);
    if (c.answerMs > 0) {
      EXPECT_THAT(stalls, ::testing::ElementsAre(0u, 1u));
      EXPECT_TRUE(heard.stalled);
    } else {
      EXPECT_THAT(stalls, ::testing::IsEmpty());
    }
    BASS_StreamFree(stream);
  }
}

// Catches a station that is down being reconnected to for ever, the end sync
// missing or carrying no reason, and reconnecting ahead of the back-off.
TEST_F(ReconnectTest, GivesUpWhenTheStationStaysAway) {
  struct Case {
    const char* name;
    const char* path;
    std::function<void(RadioServer&, const char*)> after;  // what it does after the drop
    int error;
    int maxRequests;
  };
  std::vector<Case> cases = {
      {"refused", "/refused",
       [](RadioServer& s, const char* path) {
         RadioServer::Route refuse;
         refuse.refuse = true;
         s.Serve(path, refuse);
       },
       BASS_ERROR_FILEOPEN, 4},
      {"404: the source left", "/gone", [](RadioServer& s, const char* path) { s.Remove(path); },
       BASS_ERROR_ENDED, 2},
      {"accepted and dropped at once", "/flaky",
       [](RadioServer& s, const char* path) {
         RadioServer::Route route = Station(kToneHz, "One", 0);
         route.dropAfterBytes = 100;
         s.Serve(path, route);
       },
       BASS_ERROR_FILEOPEN, 4},
  };
  cases.push_back({"answered with a web page", "/html",
                   [](RadioServer& s, const char* path) {
                     RadioServer::Route page;
                     page.headers = {"Content-Type: text/html"};
                     page.body = "<html><body>Station offline</body></html>";
                     s.Serve(path, page);
                   },
                   BASS_ERROR_FILEFORM, 2});
  cases.push_back({"answered in another format", "/ogg",
                   [](RadioServer& s, const char* path) {
                     RadioServer::Route ogg;
                     ogg.headers = {"Content-Type: audio/ogg"};
                     ogg.body = Tone(AudioFormat::kOggVorbis);
                     s.Serve(path, ogg);
                   },
                   BASS_ERROR_FILEFORM, 2});
  // Attempts 0.5, 1.5 and 2 s after the drop, then the budget is spent.
  BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, 2000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RadioServer::Route first = Station(kToneHz, "One", 1);
    first.dropAfterBytes = 24000;
    server.Serve(c.path, first);
    SyncLog& log = NewSyncLog();
    const HSTREAM stream = Open(c.path);
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    c.after(server, c.path);
    log.WatchAll(stream);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    ASSERT_TRUE(log.WaitCount(BASS_SYNC_END, 1, milliseconds(8000)));
    EXPECT_EQ(log.Of(BASS_SYNC_END).front().error, c.error);
    EXPECT_LE(server.Requests(c.path), c.maxRequests);
    if (c.maxRequests > 2) {
      // The drop comes half a second in, then two seconds of trying.
      EXPECT_GE(SecondsSince(start), 2.2) << "gave up early";
    }
    // While it tried, the buffer ran dry: the listener was told.
    std::vector<DWORD> stalls;
    for (const auto& entry : log.Of(BASS_SYNC_STALL)) stalls.push_back(entry.data);
    if (c.maxRequests > 2) {
      EXPECT_THAT(stalls, ::testing::ElementsAre(0u));
    }
    EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    const int requests = server.Requests(c.path);
    BASS_StreamFree(stream);
    // A stream that ended never comes back.
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_EQ(server.Requests(c.path), requests);
  }
}

// Catches a file whose connection breaks being played again from its start
// (or its rest lost) and its real end taken for a drop.
TEST_F(ReconnectTest, FileGoesOnWhereItBroke) {
  struct Case {
    const char* name;
    bool ranges;    // the server can send the rest
    double heardS;  // seconds of the tone the listener hears
  } cases[] = {
      {"resumed", true, 3},
      {"server cannot resume: ends where it broke", false, 1.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.ranges ? "/file-ranges" : "/file";
    RadioServer::Route file;
    file.headers = {"Content-Type: audio/mpeg"};
    file.body = Tone(AudioFormat::kMp3, kToneHz, {}, 3);
    file.headers.push_back("Content-Length: " + std::to_string(file.body.size()));
    file.ranges = c.ranges;
    file.bytesPerSecond = kMp3BytesPerSecond;
    file.burstBytes = static_cast<size_t>(kMp3BytesPerSecond);
    file.dropAfterBytes = file.body.size() / 2;
    server.Serve(path, file);
    SyncLog& log = NewSyncLog();
    const HSTREAM stream = Open(path);
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    // Later requests are not dropped.
    file.dropAfterBytes = 0;
    server.Serve(path, file);
    log.WatchAll(stream);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    Heard heard;
    WaitFor(
        [&] {
          heard.Poll(stream, start);
          return log.Count(BASS_SYNC_END) > 0;
        },
        milliseconds(8000));
    ASSERT_EQ(log.Count(BASS_SYNC_END), 1u);
    EXPECT_EQ(log.Of(BASS_SYNC_END).front().error, BASS_ERROR_ENDED);
    EXPECT_EQ(server.Requests(path), 2);
    EXPECT_EQ(server.RequestHeader(path, "Range"),
              "bytes=" + std::to_string(file.body.size() / 2) + "-");
    EXPECT_NEAR(heard.lastA - heard.firstA, c.heardS, 0.3);
    BASS_StreamFree(stream);
  }
}

// Catches a freed stream that goes on reconnecting.
TEST_F(ReconnectTest, FreedStreamNeverReconnects) {
  RadioServer::Route first = Station(kToneHz, "One", 1);
  first.dropAfterBytes = 20000;
  server.Serve("/live", first);
  const HSTREAM stream = Open("/live");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  ASSERT_TRUE(WaitFor([&] { return server.LiveConnections("/live") == 0; }));
  BASS_StreamFree(stream);
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_EQ(server.Requests("/live"), 1);
}

// Catches a station whose first server died not going on to the playlist's
// next entry (its mirror) when it reconnects, and a reconnect that waits out
// its back-off although it was told the network is back.
TEST_F(ReconnectTest, MirrorsAndReconnectNow) {
  BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, BASS_NET_RECONNECT_FOREVER);
  {
    SCOPED_TRACE("the first entry is gone for good: the second plays");
    ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1));
    RadioServer::Route first = Station(kToneHz, "One", 1);
    first.dropAfterBytes = 24000;
    server.Serve("/m1", first);
    server.Serve("/m2", Station(kSecondHz, "Two", 1));
    server.ServeText("/station.m3u", "audio/x-mpegurl",
                     server.Url("/m1") + "\n" + server.Url("/m2") + "\n");
    SyncLog& log = NewSyncLog();
    const HSTREAM stream = Open("/station.m3u");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    server.Remove("/m1");  // the reconnect gets a 404
    log.WatchAll(stream);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    EXPECT_TRUE(IsTone(WaitForTone(stream, kSecondHz, milliseconds(8000)), kSecondHz));
    EXPECT_EQ(log.Count(BASS_SYNC_END), 0u);
    EXPECT_EQ(server.Requests("/m2"), 1);
    BASS_StreamFree(stream);
    BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 0);
  }
  {
    SCOPED_TRACE("told the network is back: tries at once");
    RadioServer::Route first = Station(kToneHz, "One", 1);
    first.dropAfterBytes = 24000;
    server.Serve("/now", first);
    const HSTREAM stream = Open("/now");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    RadioServer::Route refuse;
    refuse.refuse = true;
    server.Serve("/now", refuse);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    // Refused 0.5 and 1.5 s after the drop; the next would wait 2 s more.
    ASSERT_TRUE(server.WaitForRequests("/now", 3, milliseconds(8000)));
    server.Serve("/now", Station(kSecondHz, "Two", 1));
    ASSERT_TRUE(BASS_NetReconnectNow());
    EXPECT_TRUE(server.WaitForRequests("/now", 4, milliseconds(1000)))
        << "the reconnect waited out its back-off";
    EXPECT_TRUE(IsTone(WaitForTone(stream, kSecondHz), kSecondHz));
    BASS_StreamFree(stream);
  }
}

// Catches a storm of requests to a server that accepts every reconnect and
// closes it at once, when the stream reconnects for ever: one attempt per
// back-off step (0.5, 1, 2, 4 s: four in the first 8 s).
TEST_F(ReconnectTest, NoStormFromAServerThatClosesAtOnce) {
  BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, BASS_NET_RECONNECT_FOREVER);
  RadioServer::Route first = Station(kToneHz, "One", 1);
  first.dropAfterBytes = 24000;
  server.Serve("/flaky", first);
  const HSTREAM stream = Open("/flaky");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  RadioServer::Route flaky = Station(kToneHz, "One", 0);
  flaky.dropAfterBytes = 100;
  server.Serve("/flaky", flaky);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  ASSERT_TRUE(server.WaitForRequests("/flaky", 2, milliseconds(5000)));
  const Clock::time_point firstRetry = Clock::now();
  std::this_thread::sleep_for(milliseconds(7000) - (Clock::now() - firstRetry));
  // Retries at about 0, 1, 3 and 7 s from the first one.
  EXPECT_LE(server.Requests("/flaky"), 5);
  EXPECT_GE(server.Requests("/flaky"), 3);
  EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_STALLED));
  BASS_StreamFree(stream);
}

}  // namespace
}  // namespace tw::engine::test
