// Real outages of the loopback station's port (nftables drops every packet):
// a station that played comes back by itself within seconds of the network's
// return however long it was gone, says meanwhile that it reconnects, and a
// stream freed meanwhile leaves nothing behind.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <list>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/stream_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/port_outage.h"

namespace tw::engine::test {
namespace {

using tw::test::PortOutage;

constexpr double kMp3BytesPerSecond = 16000;

// The sanitizer build runs every test a second time; the longest outages only
// repeat what the shorter ones run, at many times the wall time.
constexpr bool kUnderSanitizers =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

// An ICY MP3 station paced in real time after a second's burst.
RadioServer::Route Station(const std::string& title) {
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:" + title};
  route.body = Tone(AudioFormat::kMp3);
  route.loopBody = true;
  route.metaint = 8000;
  route.titles = {{0, "StreamTitle='" + title + "';"}};
  route.bytesPerSecond = kMp3BytesPerSecond;
  route.burstBytes = static_cast<size_t>(kMp3BytesPerSecond);
  return route;
}

// The engine's threads (they name themselves "tw-...") alive now.
int EngineThreads() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.starts_with("tw-")) ++count;
  }
  closedir(dir);
  return count;
}

// Sockets this process holds open to `port` (the client side of a station's
// connections; the server's own sockets have it as their local port).
int SocketsTo(uint16_t port) {
  std::set<std::string> inodes;
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      const std::size_t colon = remote.rfind(':');
      if (colon == std::string::npos) continue;
      if (std::stoul(remote.substr(colon + 1), nullptr, 16) == port) inodes.insert(inode);
    }
  }
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* entry = readdir(dir)) {
    char target[64] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    const std::string text(target, static_cast<std::size_t>(n));
    if (text.starts_with("socket:[") && inodes.count(text.substr(8, text.size() - 9)) != 0) {
      ++count;
    }
  }
  closedir(dir);
  return count;
}

// The listener's view: reconnecting is a dry buffer and no connection that
// brings audio, as the player's window shows it.
bool Reconnecting(HSTREAM stream) {
  return BASS_ChannelIsActive(stream) == BASS_ACTIVE_STALLED &&
         BASS_StreamGetFilePosition(stream, BASS_FILEPOS_CONNECTED) == 0;
}

class OutageTest : public StreamTest {
 protected:
  void SetUp() override {
    const std::string why = PortOutage::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    StreamTest::SetUp();
    BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, BASS_NET_RECONNECT_FOREVER);
  }
  void TearDown() override {
    StreamTest::TearDown();
    BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, 30000);
  }
};

// Catches a station that gives up during a long outage (the end sync, "Can't
// play the stream"), one that comes back only long after the network, and a
// wait that does not say it is reconnecting. The outages run side by side,
// each on a server of its own, so the longest sets the wall time.
TEST_F(OutageTest, StationComesBackWithinSecondsOfTheNetwork) {
  struct Case {
    int outageSeconds = 0;
    std::unique_ptr<RadioServer> server;
    HSTREAM stream = 0;
    SyncLog* log = nullptr;
    std::unique_ptr<PortOutage> outage;
    Clock::time_point endedAt{};
    double back = -1;  // seconds from the end of the outage to audio
    bool reconnectingShown = false;
    int requestsBefore = 0;
  };
  std::list<Case> cases(kUnderSanitizers ? 1 : 2);
  cases.front().outageSeconds = 45;
  cases.back().outageSeconds = kUnderSanitizers ? 45 : 150;
  for (Case& c : cases) {
    c.server = std::make_unique<RadioServer>();
    c.server->Serve("/live", Station("Outage " + std::to_string(c.outageSeconds)));
    c.log = &NewSyncLog();
    c.stream = BASS_StreamCreateURL(c.server->Url("/live").c_str(), 0, 0, nullptr, nullptr);
    ASSERT_NE(c.stream, 0u) << BASS_ErrorGetCode();
    c.log->WatchAll(c.stream);
    ASSERT_TRUE(BASS_ChannelPlay(c.stream, 0));
  }
  for (Case& c : cases) {
    ASSERT_TRUE(IsTone(WaitForTone(c.stream), kToneHz));
    c.requestsBefore = c.server->Requests("/live");
    c.outage = std::make_unique<PortOutage>(c.server->Port());
  }
  const Clock::time_point start = Clock::now();
  const double longest = cases.back().outageSeconds;
  WaitFor(
      [&] {
        bool done = true;
        for (Case& c : cases) {
          if (c.outage && SecondsSince(start) >= c.outageSeconds) {
            c.outage->End();
            c.outage.reset();
            c.endedAt = Clock::now();
          }
          if (c.outage) c.reconnectingShown = c.reconnectingShown || Reconnecting(c.stream);
          if (!c.outage && c.back < 0 && BASS_ChannelIsActive(c.stream) == BASS_ACTIVE_PLAYING &&
              BASS_StreamGetFilePosition(c.stream, BASS_FILEPOS_CONNECTED) == 1) {
            c.back = SecondsSince(c.endedAt);
          }
          done = done && c.back >= 0;
        }
        return done;
      },
      milliseconds(static_cast<int>((longest + 15) * 1000)));
  for (Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.outageSeconds) + " s outage");
    ASSERT_GE(c.back, 0) << "the station never came back";
    EXPECT_LE(c.back, 3.0) << "audio came back late";
    std::printf("[ outage ] %d s: audio again %.2f s after the network\n", c.outageSeconds, c.back);
    EXPECT_TRUE(c.reconnectingShown);
    EXPECT_EQ(c.log->Count(BASS_SYNC_END), 0u);
    EXPECT_TRUE(IsTone(WaitForTone(c.stream), kToneHz));
    EXPECT_EQ(TagText(c.stream, BASS_TAG_META),
              "StreamTitle='Outage " + std::to_string(c.outageSeconds) + "';");
    // What reached the server after the outage: a reconnect, not a storm.
    EXPECT_LE(c.server->Requests("/live") - c.requestsBefore, 2);
    BASS_StreamFree(c.stream);
  }
}

// Catches a live HLS station that gives up once its playlist cannot be read
// for three target durations (it ended with the end sync after a few seconds
// of outage): it must read the list again until the network is back, and play.
TEST_F(OutageTest, HlsStationComesBackWithinSecondsOfTheNetwork) {
  constexpr int kOutageSeconds = 20;  // many target durations of one second
  tw::test::ToneSpec tone;
  tone.frequency = kToneHz;
  tone.amplitude = kToneLevel;
  tone.seconds = 1;
  const std::vector<tw::test::Segment> one =
      tw::test::EncodeToneSegments(AudioFormat::kAacAdts, tone, 1);
  ASSERT_FALSE(one.empty());
  // Packed ADTS needs no timestamps, so every segment can be the same second.
  server.ServeText("/hls/seg.aac", "audio/aac", one.front().bytes);
  // A live window of three one-second segments that moves on every second, as
  // a live segmenter's does, also while the port is dropped.
  const auto window = [](int first) {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n";
    text += "#EXT-X-MEDIA-SEQUENCE:" + std::to_string(first) + "\n";
    for (int n = first; n < first + 3; ++n) {
      text += "#EXTINF:1.0,Live " + std::to_string(n) + "\nseg.aac?n=" + std::to_string(n) + "\n";
    }
    return text;
  };
  server.ServeText("/hls/live.m3u8", "application/vnd.apple.mpegurl", window(0));
  std::atomic<bool> done{false};
  std::thread segmenter([&] {
    for (int first = 1; !done; ++first) {
      std::this_thread::sleep_for(milliseconds(1000));
      server.UpdateText("/hls/live.m3u8", window(first));
    }
  });
  SyncLog& log = NewSyncLog();
  const HSTREAM stream = Open("/hls/live.m3u8");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  log.WatchAll(stream);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
  auto outage = std::make_unique<PortOutage>(server.Port());
  const Clock::time_point start = Clock::now();
  bool reconnectingShown = false;
  WaitFor(
      [&] {
        reconnectingShown = reconnectingShown || Reconnecting(stream);
        return SecondsSince(start) >= kOutageSeconds;
      },
      milliseconds((kOutageSeconds + 5) * 1000));
  outage.reset();
  const Clock::time_point ended = Clock::now();
  double back = -1;
  WaitFor(
      [&] {
        if (BASS_ChannelIsActive(stream) == BASS_ACTIVE_PLAYING &&
            BASS_StreamGetFilePosition(stream, BASS_FILEPOS_CONNECTED) == 1) {
          back = SecondsSince(ended);
        }
        return back >= 0 || log.Count(BASS_SYNC_END) > 0;
      },
      milliseconds(15000));
  done = true;
  segmenter.join();
  ASSERT_EQ(log.Count(BASS_SYNC_END), 0u) << "the station gave up during the outage";
  ASSERT_GE(back, 0) << "the station never came back";
  EXPECT_LE(back, 3.0) << "audio came back late";
  std::printf("[ outage ] HLS, %d s: audio again %.2f s after the network\n", kOutageSeconds, back);
  EXPECT_TRUE(reconnectingShown);
  EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
  BASS_StreamFree(stream);
}

// Catches a stream freed while it reconnects that goes on reconnecting, or
// leaves threads or sockets behind (10 stations stopped, 10 started in vain,
// during one outage), and a station removed for good meanwhile that never
// ends: its 404 after the outage still ends it with the end sync.
TEST_F(OutageTest, WhatIsStoppedMeanwhileStaysStoppedAndAGoneStationEnds) {
  // Short time-outs, so that the drop is noticed and starts fail soon.
  BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 2000);
  BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 1000);
  // Threads of streams an earlier test freed may still be finishing.
  ASSERT_TRUE(WaitFor([] { return EngineThreads() == 0; }, milliseconds(5000)));
  constexpr int kStations = 10;
  std::vector<HSTREAM> streams;
  for (int i = 0; i < kStations; ++i) {
    const std::string path = "/s" + std::to_string(i);
    server.Serve(path, Station("Station " + std::to_string(i)));
    streams.push_back(Open(path));
    ASSERT_NE(streams.back(), 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(streams.back(), 0));
  }
  server.Serve("/gone", Station("Gone"));
  SyncLog& goneLog = NewSyncLog();
  const HSTREAM gone = Open("/gone");
  ASSERT_NE(gone, 0u) << BASS_ErrorGetCode();
  goneLog.WatchAll(gone);
  ASSERT_TRUE(BASS_ChannelPlay(gone, 0));
  ASSERT_TRUE(IsTone(WaitForTone(gone), kToneHz));

  PortOutage outage(server.Port());
  ASSERT_TRUE(WaitFor(
      [&] {
        for (HSTREAM s : streams)
          if (!Reconnecting(s)) return false;
        return Reconnecting(gone);
      },
      milliseconds(15000)))
      << "the streams did not go to reconnecting";
  // Past the read time-out: the dry streams have given up their connections
  // (else one could still come back on its own when the network does).
  std::this_thread::sleep_for(milliseconds(4000));
  std::vector<int> requests;
  for (int i = 0; i < kStations; ++i) {
    requests.push_back(server.Requests("/s" + std::to_string(i)));
    ASSERT_TRUE(BASS_StreamFree(streams[static_cast<std::size_t>(i)]));
    EXPECT_EQ(BASS_ChannelIsActive(streams[static_cast<std::size_t>(i)]),
              static_cast<DWORD>(BASS_ACTIVE_STOPPED));
  }
  // Ten starts while the network is down: they fail as a station that never
  // played does.
  std::vector<std::thread> starts;
  for (int i = 0; i < kStations; ++i) {
    starts.emplace_back([&, i] {
      const std::string url = server.Url("/s" + std::to_string(i));
      EXPECT_EQ(BASS_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr), 0u);
    });
  }
  for (std::thread& t : starts) t.join();
  server.Remove("/gone");
  outage.End();

  ASSERT_TRUE(goneLog.WaitCount(BASS_SYNC_END, 1, milliseconds(8000)))
      << server.Requests("/gone") << " requests; state " << BASS_ChannelIsActive(gone);
  EXPECT_EQ(goneLog.Of(BASS_SYNC_END).front().error, BASS_ERROR_ENDED);
  // The freed ones stay away, and what they had is gone.
  std::this_thread::sleep_for(milliseconds(3000));
  for (int i = 0; i < kStations; ++i) {
    EXPECT_EQ(server.Requests("/s" + std::to_string(i)), requests[static_cast<std::size_t>(i)])
        << "station " << i << " reconnected after it was freed";
  }
  BASS_StreamFree(gone);
  EXPECT_TRUE(WaitFor([] { return EngineThreads() == 0; }, milliseconds(5000)))
      << EngineThreads() << " engine threads left";
  EXPECT_TRUE(WaitFor([&] { return SocketsTo(server.Port()) == 0; }, milliseconds(5000)))
      << SocketsTo(server.Port()) << " sockets still open to the station";
}

// The last "state: ..." line the command-line player printed.
std::string LastState(const std::string& output) {
  const std::size_t at = output.rfind("state: ");
  if (at == std::string::npos) return "";
  return output.substr(at, output.find('\n', at) - at);
}

// Catches a player that does not come back by itself after it was frozen for
// a minute (SIGSTOP, as a stopped session or a debugger does): its connection
// went silent from its side, its clocks jumped.
TEST(FrozenPlayer, PlaysAgainWithinSecondsOfContinuing) {
  RadioServer server;
  server.Serve("/live", Station("Frozen"));
  tw::test::ChildProcess play(TW_PLAY_EXE, {server.Url("/live"), "--seconds", "100"},
                              {"SDL_AUDIODRIVER=dummy"});
  ASSERT_TRUE(play.WaitForOutput("state: playing", milliseconds(10000))) << play.output();
  play.Signal(SIGSTOP);
  std::this_thread::sleep_for(std::chrono::seconds(60));
  play.Signal(SIGCONT);
  // Three seconds of reading what it prints: then it plays, and goes on.
  play.WaitForOutput("sync end", milliseconds(3000));
  EXPECT_EQ(LastState(play.output()), "state: playing") << play.output();
  play.WaitForOutput("sync end", milliseconds(2000));
  EXPECT_EQ(LastState(play.output()), "state: playing") << play.output();
  EXPECT_EQ(play.output().find("sync end"), std::string::npos) << play.output();
}

}  // namespace
}  // namespace tw::engine::test
