// Broken and hostile servers: each must give a clean failure with the right
// error code (or a stream that plays and ends), never a crash, a hang, or noise
// reported as a stream.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "tests/engine/stream_fixture.h"

namespace tw::engine::test {
namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  return bytes;
}

RadioServer::Route Status(const char* line, const char* type, std::string body) {
  RadioServer::Route route;
  route.statusLine = line;
  route.headers = {std::string("Content-Type: ") + type};
  route.body = std::move(body);
  return route;
}

RadioServer::Route Raw(std::string response) {
  RadioServer::Route route;
  route.rawResponse = std::move(response);
  return route;
}

// An ICY stream whose last metadata length byte promises more than the server
// sends before it closes.
std::string TruncatedMetadataResponse() {
  const std::string& mp3 = Tone(AudioFormat::kMp3);
  constexpr std::size_t kMetaint = 4000;
  std::string response = "ICY 200 OK\r\nContent-Type: audio/mpeg\r\nicy-metaint:4000\r\n\r\n";
  std::size_t at = 0;
  for (int block = 0; block < 3; ++block, at += kMetaint) {
    response += mp3.substr(at, kMetaint);
    response += '\0';
  }
  response += mp3.substr(at, kMetaint);
  response += '\xff';  // 4080 bytes promised
  response += "StreamTitle='Cut";
  return response;
}

// A loopback port whose connection handshakes never finish, as with a host that
// drops packets: its accept queue is full, so Linux drops new SYNs.
class FullBacklog {
 public:
  FullBacklog() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (::bind(listener_, raw, length) != 0 || ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, raw, &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    for (int& filler : fillers_) {
      filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(filler, raw, length);  // in progress or done: either fills the queue
    }
    std::this_thread::sleep_for(milliseconds(50));
  }
  ~FullBacklog() {
    for (int filler : fillers_) ::close(filler);
    ::close(listener_);
  }
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;

  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  int fillers_[3] = {-1, -1, -1};
  uint16_t port_ = 0;
};

// What a listener gets from a URL: creation ends within a bound, and a stream
// that was created plays and ends by itself.
struct Outcome {
  bool returned = false;
  HSTREAM stream = 0;
  int error = BASS_OK;
};

Outcome TryOpen(const std::string& url) {
  Outcome outcome;
  std::atomic<bool> done{false};
  std::thread creating([&] {
    outcome.stream = BASS_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr);
    outcome.error = BASS_ErrorGetCode();
    done = true;
  });
  outcome.returned = WaitFor([&] { return done.load(); }, milliseconds(10000));
  if (!outcome.returned) BASS_Free();  // ends the hang, so the thread can be joined
  creating.join();
  return outcome;
}

class HostileTest : public StreamTest {
 protected:
  void SetUp() override {
    StreamTest::SetUp();
    BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 1000);
    BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 1000);
  }

  struct Case {
    const char* name;
    std::string path;             // requested (on the test server unless a full URL)
    std::function<void()> serve;  // sets up the server
    std::set<int> errors;         // acceptable creation errors; empty: must play
  };

  void Run(const Case& c) {
    SCOPED_TRACE(c.name);
    if (c.serve) c.serve();
    const std::string url = c.path.find("://") != std::string::npos || c.path.starts_with("data:")
                                ? c.path
                                : server.Url(c.path);
    const Outcome outcome = TryOpen(url);
    ASSERT_TRUE(outcome.returned) << "BASS_StreamCreateURL hung";
    if (!c.errors.empty()) {
      EXPECT_EQ(outcome.stream, 0u);
      EXPECT_TRUE(c.errors.count(outcome.error)) << "error " << outcome.error;
      return;
    }
    ASSERT_NE(outcome.stream, 0u) << "error " << outcome.error;
    SyncLog& log = NewSyncLog();
    log.Watch(outcome.stream, BASS_SYNC_END);
    ASSERT_TRUE(BASS_ChannelPlay(outcome.stream, 0));
    EXPECT_TRUE(log.WaitCount(BASS_SYNC_END, 1, milliseconds(8000))) << "never ended";
    BASS_StreamFree(outcome.stream);
  }
};

// Catches HTTP failures, silent servers and missing servers reported as
// success, with the wrong code, or hanging the caller.
TEST_F(HostileTest, HttpFailuresAndTimeouts) {
  const uint16_t closedPort = [] {
    RadioServer gone;
    return gone.Port();
  }();
  const FullBacklog unreachable;
  ASSERT_NE(unreachable.port(), 0);
  const Case cases[] = {
      {"404", "/missing", nullptr, {BASS_ERROR_HTTP}},
      {"500",
       "/broken",
       [&] { server.Serve("/broken", Status("HTTP/1.1 500 Oops", "text/plain", "oops")); },
       {BASS_ERROR_HTTP}},
      {"ICY 404",
       "/icy404",
       [&] { server.Serve("/icy404", Status("ICY 404 Resource Not Found", "text/plain", "")); },
       {BASS_ERROR_HTTP, BASS_ERROR_FILEOPEN}},
      {"never answers",
       "/silent",
       [&] {
         RadioServer::Route route;
         route.neverAnswer = true;
         server.Serve("/silent", route);
       },
       {BASS_ERROR_TIMEOUT}},
      {"headers, then silence",
       "/mute",
       [&] {
         RadioServer::Route route = Status("HTTP/1.0 200 OK", "audio/mpeg", "");
         route.hangAfterBody = true;
         server.Serve("/mute", route);
       },
       {BASS_ERROR_TIMEOUT}},
      {"connect never completes",
       "http://127.0.0.1:" + std::to_string(unreachable.port()) + "/",
       nullptr,
       {BASS_ERROR_TIMEOUT}},
      {"nothing listening",
       "http://127.0.0.1:" + std::to_string(closedPort) + "/",
       nullptr,
       {BASS_ERROR_FILEOPEN}},
  };
  for (const Case& c : cases) Run(c);
}

// Catches junk accepted as audio: HTML pages and random bytes (with and
// without an audio label) must be refused, not played as noise.
TEST_F(HostileTest, NotAudio) {
  const std::string html =
      "<!DOCTYPE html><html><head><title>Station offline</title></head><body>" +
      std::string(3000, ' ') + "<p>Try again later.</p></body></html>\n";
  const Case cases[] = {
      {"HTML",
       "/html",
       [&] { server.Serve("/html", Status("HTTP/1.1 200 OK", "text/html", html)); },
       {BASS_ERROR_FILEFORM}},
      {"HTML labelled audio/mpeg",
       "/html-mp3",
       [&] { server.Serve("/html-mp3", Status("HTTP/1.1 200 OK", "audio/mpeg", html)); },
       {BASS_ERROR_FILEFORM}},
      {"random bytes as audio/mpeg",
       "/noise.mp3",
       [&] {
         server.Serve("/noise.mp3", Status("ICY 200 OK", "audio/mpeg", RandomBytes(300 * 1024, 1)));
       },
       {BASS_ERROR_FILEFORM}},
      {"random bytes as audio/aac",
       "/noise.aac",
       [&] {
         server.Serve("/noise.aac",
                      Status("HTTP/1.0 200 OK", "audio/aac", RandomBytes(300 * 1024, 2)));
       },
       {BASS_ERROR_FILEFORM}},
      // These hold a pattern that decodes as one MP3 frame.
      {"random bytes as audio/mpeg, seed 120",
       "/noise120",
       [&] {
         server.Serve("/noise120",
                      Status("HTTP/1.0 200 OK", "audio/mpeg", RandomBytes(300 * 1024, 120)));
       },
       {BASS_ERROR_FILEFORM}},
      {"random bytes as audio/mpeg, seed 129",
       "/noise129",
       [&] {
         server.Serve("/noise129",
                      Status("HTTP/1.0 200 OK", "audio/mpeg", RandomBytes(300 * 1024, 129)));
       },
       {BASS_ERROR_FILEFORM}},
      // And these one ADTS frame.
      {"random bytes as audio/aac, seed 118",
       "/noise118",
       [&] {
         server.Serve("/noise118",
                      Status("HTTP/1.0 200 OK", "audio/aac", RandomBytes(300 * 1024, 118)));
       },
       {BASS_ERROR_FILEFORM}},
      {"random bytes as audio/aac, seed 122",
       "/noise122",
       [&] {
         server.Serve("/noise122",
                      Status("HTTP/1.0 200 OK", "audio/aac", RandomBytes(300 * 1024, 122)));
       },
       {BASS_ERROR_FILEFORM}},
      {"random bytes as audio/ogg",
       "/noise.ogg",
       [&] {
         server.Serve("/noise.ogg",
                      Status("HTTP/1.0 200 OK", "audio/ogg", RandomBytes(300 * 1024, 3)));
       },
       {BASS_ERROR_FILEFORM}},
      {"random bytes as octet-stream",
       "/noise",
       [&] {
         server.Serve("/noise", Status("HTTP/1.0 200 OK", "application/octet-stream",
                                       RandomBytes(300 * 1024, 4)));
       },
       {BASS_ERROR_FILEFORM}},
      {"random bytes, endless, as audio/mpeg",
       "/endless",
       [&] {
         RadioServer::Route route =
             Status("HTTP/1.0 200 OK", "audio/mpeg", RandomBytes(64 * 1024, 5));
         route.loopBody = true;
         server.Serve("/endless", route);
       },
       {BASS_ERROR_FILEFORM}},
      {"empty body",
       "/empty",
       [&] { server.Serve("/empty", Status("HTTP/1.0 200 OK", "audio/mpeg", "")); },
       {BASS_ERROR_FILEFORM, BASS_ERROR_ENDED}},
  };
  for (const Case& c : cases) Run(c);
}

// Catches header and metadata abuse growing memory or crashing: an endless
// header line, endless header lines, and a metadata block cut short by the
// server closing (the stream plays up to there and ends; no half block shows).
TEST_F(HostileTest, OversizedHeadersAndCutMetadata) {
  const Case cases[] = {
      {"1 MB header line",
       "/long-line",
       [&] {
         server.Serve("/long-line",
                      Raw("HTTP/1.0 200 OK\r\nX-Junk: " + std::string(1024 * 1024, 'a') +
                          "\r\nContent-Type: audio/mpeg\r\n\r\n"));
       },
       {BASS_ERROR_LIMIT}},
      {"1 MB of header lines",
       "/many-lines",
       [&] {
         std::string response = "ICY 200 OK\r\n";
         for (int i = 0; i < 20000; ++i) response += "icy-x" + std::to_string(i) + ": yes\r\n";
         server.Serve("/many-lines", Raw(response + "\r\n"));
       },
       {BASS_ERROR_LIMIT}},
  };
  for (const Case& c : cases) Run(c);

  // The stream plays up to the cut block and ends; the block is never a title.
  server.Serve("/cut-meta", Raw(TruncatedMetadataResponse()));
  const HSTREAM stream = Open("/cut-meta");
  ASSERT_NE(stream, 0u);
  server.Remove("/cut-meta");  // no second response for the reconnect
  SyncLog& log = NewSyncLog();
  log.Watch(stream, BASS_SYNC_END);
  log.Watch(stream, BASS_SYNC_META);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
  EXPECT_TRUE(log.WaitCount(BASS_SYNC_END, 1));
  EXPECT_EQ(log.Count(BASS_SYNC_META), 0u);
  EXPECT_EQ(BASS_ChannelGetTags(stream, BASS_TAG_META), nullptr);
  BASS_StreamFree(stream);
}

// Catches redirect loops and playlists that lead back to themselves looping
// forever (or for hours: every entry of a self-listing playlist re-reading it).
TEST_F(HostileTest, LoopsEnd) {
  ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1));
  const Case cases[] = {
      {"redirect loop",
       "/loop-a",
       [&] {
         server.Redirect("/loop-a", server.Url("/loop-b"));
         server.Redirect("/loop-b", "/loop-a");
       },
       {BASS_ERROR_LIMIT}},
      {"redirect to itself",
       "/self-redirect",
       [&] { server.Redirect("/self-redirect", "/self-redirect", 301); },
       {BASS_ERROR_LIMIT}},
      {"playlist listing itself",
       "/self.pls",
       [&] {
         server.ServeText("/self.pls", "audio/x-scpls",
                          "[playlist]\nNumberOfEntries=1\nFile1=" + server.Url("/self.pls") + "\n");
       },
       {BASS_ERROR_PLAYLIST}},
      {"playlist listing itself a hundred times",
       "/hundred.m3u",
       [&] {
         std::string text;
         for (int i = 0; i < 100; ++i) text += server.Url("/hundred.m3u") + "\n";
         server.ServeText("/hundred.m3u", "audio/x-mpegurl", text);
       },
       {BASS_ERROR_PLAYLIST}},
      {"playlists listing each other",
       "/ping.m3u",
       [&] {
         server.ServeText("/ping.m3u", "audio/x-mpegurl",
                          server.Url("/pong.m3u") + "\n" + server.Url("/ping.m3u") + "\n");
         server.ServeText("/pong.m3u", "audio/x-mpegurl",
                          server.Url("/ping.m3u") + "\n" + server.Url("/pong.m3u") + "\n");
       },
       {BASS_ERROR_PLAYLIST}},
  };
  for (const Case& c : cases) Run(c);
  EXPECT_LE(server.Requests("/hundred.m3u"), 10) << "the same playlist was read again and again";
}

// Catches other schemes reached directly, through a redirect or from a
// playlist: the engine must never read local files or speak other protocols.
TEST_F(HostileTest, OnlyHttpAndHttps) {
  ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1));
  const char* schemes[] = {"file:///etc/passwd", "ftp://127.0.0.1/radio.mp3",
                           "data:audio/mpeg;base64,//uQxAAAAAAAAAAAAAAAAAAAAAAA",
                           "gopher://127.0.0.1/1", "FILE:///etc/hostname"};
  for (const char* target : schemes) {
    SCOPED_TRACE(target);
    Run({"direct", target, nullptr, {BASS_ERROR_PROTOCOL}});
    Run({"by redirect",
         "/to-other",
         [&] { server.Redirect("/to-other", target); },
         {BASS_ERROR_PROTOCOL}});
    Run({"from a playlist",
         "/other.pls",
         [&] {
           server.ServeText("/other.pls", "audio/x-scpls",
                            std::string("[playlist]\nNumberOfEntries=1\nFile1=") + target + "\n");
         },
         {BASS_ERROR_PLAYLIST, BASS_ERROR_PROTOCOL}});
    Run({"from a playlist, by redirect",
         "/via.m3u",
         [&] {
           server.Redirect("/hop", target);
           server.ServeText("/via.m3u", "audio/x-mpegurl", server.Url("/hop") + "\n");
         },
         {BASS_ERROR_PLAYLIST, BASS_ERROR_PROTOCOL}});
  }
}

std::string HlsPlaylist(std::size_t entries, const std::string& segment, bool endList) {
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n";
  for (std::size_t i = 0; i < entries; ++i) {
    text +=
        "#EXTINF:1.0,Part " + std::to_string(i) + "\n" + segment + "?n=" + std::to_string(i) + "\n";
  }
  if (endList) text += "#EXT-X-ENDLIST\n";
  return text;
}

// Catches HLS playlists that are empty or huge hanging the create, failing
// without a code, or (thousands of dead segments) being tried one by one.
TEST_F(HostileTest, HlsPlaylistsEmptyOrHuge) {
  tw::test::ToneSpec tone;
  tone.frequency = kToneHz;
  tone.amplitude = kToneLevel;
  tone.seconds = 1;
  const auto segments = tw::test::EncodeToneSegments(AudioFormat::kMpegTsAac, tone, 1);
  ASSERT_EQ(segments.size(), 1u);
  server.Serve("/seg.ts", Status("HTTP/1.1 200 OK", "video/mp2t", segments[0].bytes));
  const Case cases[] = {
      {"no segments, ended",
       "/empty.m3u8",
       [&] {
         server.ServeText("/empty.m3u8", "application/vnd.apple.mpegurl",
                          "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-ENDLIST\n");
       },
       {BASS_ERROR_FILEFORM}},
      {"no segments, live",
       "/empty-live.m3u8",
       [&] {
         server.ServeText("/empty-live.m3u8", "application/vnd.apple.mpegurl",
                          "#EXTM3U\n#EXT-X-TARGETDURATION:1\n");
       },
       {BASS_ERROR_TIMEOUT, BASS_ERROR_FILEFORM}},
      {"5000 dead segments",
       "/dead.m3u8",
       [&] {
         server.ServeText("/dead.m3u8", "application/vnd.apple.mpegurl",
                          HlsPlaylist(5000, server.Url("/gone.ts"), true));
       },
       {BASS_ERROR_HTTP}},
      {"5000 segments, ended",
       "/big.m3u8",
       [&] {
         server.ServeText("/big.m3u8", "application/vnd.apple.mpegurl",
                          HlsPlaylist(5000, server.Url("/seg.ts"), true));
       },
       {}},
      {"5000 segments, live",
       "/big-live.m3u8",
       [&] {
         server.ServeText("/big-live.m3u8", "application/vnd.apple.mpegurl",
                          HlsPlaylist(5000, server.Url("/seg.ts"), false));
       },
       {}},
      {"a master listing itself",
       "/master.m3u8",
       [&] {
         server.ServeText("/master.m3u8", "application/vnd.apple.mpegurl",
                          "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\nmaster.m3u8\n");
       },
       {BASS_ERROR_FILEFORM}},
  };
  for (const Case& c : cases) {
    if (c.errors.empty()) {
      // Played streams: a few seconds of a 5000-segment list is enough.
      SCOPED_TRACE(c.name);
      c.serve();
      const Outcome outcome = TryOpen(server.Url(c.path));
      ASSERT_TRUE(outcome.returned);
      ASSERT_NE(outcome.stream, 0u) << outcome.error;
      ASSERT_TRUE(BASS_ChannelPlay(outcome.stream, 0));
      EXPECT_TRUE(IsTone(WaitForTone(outcome.stream), kToneHz));
      EXPECT_TRUE(BASS_StreamFree(outcome.stream));
    } else {
      Run(c);
    }
  }
  EXPECT_LE(server.Requests("/gone.ts"), 10);
}

}  // namespace
}  // namespace tw::engine::test
