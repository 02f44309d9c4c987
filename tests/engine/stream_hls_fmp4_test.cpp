// HLS with fragmented MP4 (CMAF) segments, as FFmpeg's own HLS muxer writes
// them (-hls_segment_type fmp4), made at run time and served from the loopback
// server; and HLS fetches that fail and are tried again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/engine/stream_fixture.h"
#include "tests/support/hls_fmp4.h"

namespace tw::engine::test {
namespace {

using Rendition = tw::test::Fmp4Rendition;

Rendition Fmp4Hls(double hz, int rate, const std::string& prefix) {
  return tw::test::MakeFmp4Hls(hz, rate, 2.5, prefix);
}

class Fmp4Test : public StreamTest {
 protected:
  void Serve(const Rendition& rendition) {
    for (const auto& [name, bytes] : rendition.files) {
      server.ServeText("/hls/" + name, name.ends_with(".mp4") ? "video/mp4" : "video/iso.segment",
                       bytes);
    }
  }
  // The lines of a media playlist between the header tags and the end.
  static std::vector<std::string> Body(const Rendition& rendition) {
    std::vector<std::string> body;
    for (const std::string& line : rendition.lines) {
      if (line.starts_with("#EXTINF") || line.starts_with("#EXT-X-MAP") ||
          (!line.empty() && line[0] != '#')) {
        body.push_back(line);
      }
    }
    return body;
  }
  static std::string Playlist(const std::vector<std::string>& body, bool endList) {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:1\n";
    text += "#EXT-X-MEDIA-SEQUENCE:0\n";
    int part = 0;
    for (const std::string& line : body) {
      // Each segment gets a title of its own.
      text += line.starts_with("#EXTINF") ? "#EXTINF:1.0,Part " + std::to_string(part++) : line;
      text += "\n";
    }
    if (endList) text += "#EXT-X-ENDLIST\n";
    return text;
  }
};

// Catches fMP4 segments refused (error 11 at once, as before), the init
// segment not put in front, titles lost, a live list that never ends once it
// stops advancing, and a changed init segment (another rate) that is not read
// afresh: the second tone must follow the first.
TEST_F(Fmp4Test, PlaysFragmentedMp4Segments) {
  const Rendition a = Fmp4Hls(kToneHz, 44100, "a");
  const Rendition b = Fmp4Hls(1500, 48000, "b");
  ASSERT_GE(a.files.size(), 3u) << "ffmpeg made no fMP4 HLS";
  ASSERT_GE(b.files.size(), 3u);
  Serve(a);
  Serve(b);
  std::vector<std::string> both = Body(a);
  both.push_back("#EXT-X-DISCONTINUITY");
  for (const std::string& line : Body(b)) both.push_back(line);
  struct Case {
    const char* name;
    std::vector<std::string> body;
    bool endList;
    bool second;  // the second rendition follows the first
  } cases[] = {
      {"VOD", Body(a), true, false},
      {"live, until it stops advancing", Body(a), false, false},
      {"init segment changes", both, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.ServeText("/hls/list.m3u8", "application/vnd.apple.mpegurl",
                     Playlist(c.body, c.endList));
    SyncLog& log = NewSyncLog();
    const HSTREAM stream = Open("/hls/list.m3u8");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    log.WatchAll(stream);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    tw::test::ToneMeasure m = WaitForTone(stream);
    EXPECT_TRUE(IsTone(m, kToneHz)) << m.frequency << " Hz, rms " << m.rms;
    if (c.second) {
      m = WaitForTone(stream, 1500, milliseconds(8000));
      EXPECT_TRUE(IsTone(m, 1500)) << m.frequency << " Hz, rms " << m.rms;
    }
    ASSERT_TRUE(log.WaitCount(BASS_SYNC_END, 1, milliseconds(c.second ? 10000 : 8000)));
    EXPECT_EQ(log.Of(BASS_SYNC_END).front().error, BASS_ERROR_ENDED);
    std::vector<std::string> titles;
    for (const auto& entry : log.Of(BASS_SYNC_HLS_SEGMENT)) titles.push_back(entry.extinf);
    ASSERT_FALSE(titles.empty());
    const auto parts = std::count_if(c.body.begin(), c.body.end(),
                                     [](const std::string& l) { return l.starts_with("#EXTINF"); });
    EXPECT_EQ(titles.back(), "1.0,Part " + std::to_string(parts - 1));
    BASS_StreamFree(stream);
  }
}

// Catches a segment that fails once being skipped (a gap) instead of tried
// again within the target duration, and a live list whose reload fails once
// ending there.
TEST_F(Fmp4Test, FailedFetchesAreTriedAgain) {
  const Rendition a = Fmp4Hls(kToneHz, 44100, "a");
  ASSERT_GE(a.files.size(), 3u) << "ffmpeg made no fMP4 HLS";
  Serve(a);
  RadioServer::Route flaky;
  flaky.statusLine = "HTTP/1.1 200 OK";
  flaky.headers = {"Content-Type: video/iso.segment",
                   "Content-Length: " + std::to_string(a.files.at("a1.m4s").size())};
  flaky.body = a.files.at("a1.m4s");
  flaky.failFirstRequests = 1;
  server.Serve("/hls/a1.m4s", flaky);
  // Live: it is reloaded, and its next reload fails.
  RadioServer::Route list;
  list.statusLine = "HTTP/1.1 200 OK";
  list.body = Playlist(Body(a), false);
  list.headers = {"Content-Type: application/vnd.apple.mpegurl",
                  "Content-Length: " + std::to_string(list.body.size())};
  server.Serve("/hls/list.m3u8", list);
  SyncLog& log = NewSyncLog();
  const HSTREAM stream = Open("/hls/list.m3u8");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  list.failFirstRequests = server.Requests("/hls/list.m3u8") + 1;
  server.Serve("/hls/list.m3u8", list);
  log.WatchAll(stream);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  // Three target durations after the last new segment the list has ended.
  ASSERT_TRUE(log.WaitCount(BASS_SYNC_END, 1, milliseconds(8000)));
  EXPECT_EQ(log.Of(BASS_SYNC_END).front().error, BASS_ERROR_ENDED);
  EXPECT_EQ(server.Requests("/hls/a1.m4s"), 2);
  EXPECT_GT(server.Requests("/hls/list.m3u8"), list.failFirstRequests)
      << "no reload after a failed one";
  std::vector<std::string> titles;
  for (const auto& entry : log.Of(BASS_SYNC_HLS_SEGMENT)) titles.push_back(entry.extinf);
  EXPECT_THAT(titles, ::testing::Contains("1.0,Part 1"));
  BASS_StreamFree(stream);
}

// Catches a live list whose #EXT-X-TARGETDURATION is huge never being reloaded
// (a stream stuck at "buffering" for good).
TEST_F(Fmp4Test, HugeTargetDurationStillReloads) {
  const Rendition a = Fmp4Hls(kToneHz, 44100, "a");
  ASSERT_GE(a.files.size(), 3u) << "ffmpeg made no fMP4 HLS";
  Serve(a);
  std::string list = Playlist(Body(a), false);
  list.replace(list.find("TARGETDURATION:1"), 16, "TARGETDURATION:100000");
  server.ServeText("/hls/list.m3u8", "application/vnd.apple.mpegurl", list);
  const HSTREAM stream = Open("/hls/list.m3u8");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  // Reloads come at least every 5 s, whatever the list says.
  EXPECT_TRUE(server.WaitForRequests("/hls/list.m3u8", 2, milliseconds(7000)));
  BASS_StreamFree(stream);
}

// Where the top-level box of a type starts in an MP4 file; npos when absent.
std::size_t BoxAt(const std::string& mp4, std::string_view type) {
  std::size_t at = 0;
  while (at + 8 <= mp4.size()) {
    const auto byte = [&](std::size_t i) { return static_cast<uint32_t>(uint8_t(mp4[at + i])); };
    const uint32_t size = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    if (std::string_view(mp4).substr(at + 4, 4) == type) return at;
    if (size < 8) break;
    at += size;
  }
  return std::string::npos;
}

// Catches broken or hostile fMP4 crashing, hanging the caller, growing memory
// or being reported as success, or keeping the caller waiting long: each is
// refused at creation with a listed code.
TEST_F(Fmp4Test, HostileSegmentsAreRefused) {
  const Rendition a = Fmp4Hls(kToneHz, 44100, "a");
  ASSERT_GE(a.files.size(), 3u) << "ffmpeg made no fMP4 HLS";
  const std::vector<std::string> body = Body(a);
  std::vector<std::string> segments;
  for (const auto& [name, bytes] : a.files) {
    if (name.ends_with(".m4s")) segments.push_back(name);
  }
  const std::string& init = a.files.at("ainit.mp4");
  auto withSegments = [&](const std::function<std::string(std::string)>& change) {
    for (const std::string& name : segments) {
      server.ServeText("/hls/" + name, "video/iso.segment", change(a.files.at(name)));
    }
  };
  auto sizeWord = [](std::string bytes, uint32_t size) {
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = char(size >> (24 - 8 * i));
    return bytes;
  };
  struct Case {
    const char* name;
    std::function<void()> serve;
    int error;  // of the creation
  } cases[] = {
      {"init segment of 50 MB",
       [&] { server.ServeText("/hls/ainit.mp4", "video/mp4", init + std::string(50 << 20, 'j')); },
       BASS_ERROR_LIMIT},
      {"init segment cut in half",
       [&] { server.ServeText("/hls/ainit.mp4", "video/mp4", init.substr(0, init.size() / 2)); },
       BASS_ERROR_FILEFORM},
      {"map redirected to file://",
       [&] { server.Redirect("/hls/ainit.mp4", "file:///etc/passwd"); }, BASS_ERROR_PROTOCOL},
      {"segment box size 2^32-1",
       [&] { withSegments([&](std::string s) { return sizeWord(s, ~0u); }); }, BASS_ERROR_FILEFORM},
      {"segment box size 0", [&] { withSegments([&](std::string s) { return sizeWord(s, 0); }); },
       BASS_ERROR_FILEFORM},
      {"moof without mdat",
       [&] {
         withSegments(
             [&](std::string s) { return s.substr(0, std::min(s.size(), BoxAt(s, "mdat"))); });
       },
       BASS_ERROR_FILEFORM},
      {"segment cut inside its mdat",
       [&] { withSegments([&](std::string s) { return s.substr(0, BoxAt(s, "mdat") + 100); }); },
       BASS_ERROR_FILEFORM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Serve(a);
    c.serve();
    server.ServeText("/hls/list.m3u8", "application/vnd.apple.mpegurl", Playlist(body, true));
    const Clock::time_point start = Clock::now();
    const HSTREAM stream = Open("/hls/list.m3u8");
    const int error = BASS_ErrorGetCode();
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_EQ(stream, 0u);
    EXPECT_EQ(error, c.error);
    BASS_StreamFree(stream);
  }
}

}  // namespace
}  // namespace tw::engine::test
