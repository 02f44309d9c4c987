// Each format a station sends, played from the loopback server to the "No sound"
// output: what comes out must be the tone that went in, and the tags must say
// what the server said.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/engine/stream_fixture.h"

namespace tw::engine::test {
namespace {

bool Has(const std::vector<std::string>& list, const std::string& entry) {
  return std::find(list.begin(), list.end(), entry) != list.end();
}

// Catches a format that does not play, plays the wrong pitch or level (wrong
// resampling, mono spread at -3 dB), ICY metadata left in the audio, or headers
// filed under the wrong tag type (ICY servers give type 4, HTTP ones type 3).
TEST_F(StreamTest, EachFormatPlaysTheToneSent) {
  struct Case {
    const char* name;
    AudioFormat format;
    double hz;
    const char* statusLine;
    const char* contentType;
    std::size_t metaint;
    int channels = 2;
    std::size_t skip = 0;  // bytes of the stream the listener joined after
  } cases[] = {
      {"MP3 Shoutcast", AudioFormat::kMp3, 1000, "ICY 200 OK", "audio/mpeg", 8192},
      {"MP3 Icecast", AudioFormat::kMp3, 880, "HTTP/1.0 200 OK", "audio/mpeg", 4000},
      {"AAC ADTS", AudioFormat::kAacAdts, 1000, "HTTP/1.0 200 OK", "audio/aac", 0},
      {"AAC ADTS Shoutcast", AudioFormat::kAacAdts, 750, "ICY 200 OK", "audio/aacp", 16000},
      {"Ogg Vorbis", AudioFormat::kOggVorbis, 1000, "HTTP/1.1 200 OK", "application/ogg", 0},
      {"Ogg Opus", AudioFormat::kOggOpus, 1200, "HTTP/1.1 200 OK", "audio/ogg", 0},
      {"FLAC", AudioFormat::kFlac, 1000, "HTTP/1.1 200 OK", "audio/flac", 0},
      {"Ogg FLAC", AudioFormat::kOggFlac, 660, "HTTP/1.1 200 OK", "audio/ogg", 0},
      {"Ogg Vorbis with ICY metadata", AudioFormat::kOggVorbis, 1000, "HTTP/1.0 200 OK",
       "audio/ogg", 2048},
      {"MP3 mono", AudioFormat::kMp3, 1000, "ICY 200 OK", "audio/mpeg", 8192, 1},
      {"AAC mono", AudioFormat::kAacAdts, 1000, "HTTP/1.0 200 OK", "audio/aac", 0, 1},
      // A server sends from wherever its buffer is, mostly not a frame start.
      {"MP3 joined mid-frame", AudioFormat::kMp3, 1000, "ICY 200 OK", "audio/mpeg", 8192, 2, 1001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RadioServer::Route route;
    route.statusLine = c.statusLine;
    route.headers = {std::string("Content-Type: ") + c.contentType, "icy-name:Test FM",
                     "icy-br:128"};
    route.body = Tone(c.format, c.hz, {}, kToneSeconds, c.channels).substr(c.skip);
    route.metaint = c.metaint;
    if (c.metaint) route.titles = {{0, "StreamTitle='Tone';"}};
    server.Serve("/live", route);

    const HSTREAM stream = Open("/live");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0)) << BASS_ErrorGetCode();
    const tw::test::ToneMeasure m = WaitForTone(stream, c.hz);
    EXPECT_TRUE(IsTone(m, c.hz)) << "frequency " << m.frequency << " rms " << m.rms;
    EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_PLAYING));

    const bool icy = std::string(c.statusLine).starts_with("ICY");
    const std::vector<std::string> icyTags = TagList(BASS_ChannelGetTags(stream, BASS_TAG_ICY));
    const std::vector<std::string> httpTags = TagList(BASS_ChannelGetTags(stream, BASS_TAG_HTTP));
    const std::vector<std::string>& headers = icy ? icyTags : httpTags;
    EXPECT_TRUE((icy ? httpTags : icyTags).empty());
    EXPECT_EQ(headers.empty() ? "" : headers.front(), c.statusLine);
    EXPECT_TRUE(Has(headers, "icy-name:Test FM"));
    EXPECT_TRUE(Has(headers, std::string("Content-Type: ") + c.contentType));
    if (c.metaint) {
      EXPECT_TRUE(WaitFor([&] { return TagText(stream, BASS_TAG_META) == "StreamTitle='Tone';"; }))
          << TagText(stream, BASS_TAG_META);
    }
    EXPECT_TRUE(BASS_StreamFree(stream));
  }
}

// Catches a tag list that is not ended by an empty string, a stale handle
// answering tags, and type 5 handing out the metadata block with its padding or
// with more than one block run together.
TEST_F(StreamTest, TagsAreNulTerminatedListsAndRawBlocks) {
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Test FM", "icy-br:128"};
  route.body = Tone(AudioFormat::kMp3);
  route.metaint = 1000;
  route.titles = {{0, "StreamTitle='Artist - Song';StreamUrl='http://x/';"}};
  server.Serve("/live", route);
  const HSTREAM stream = Open("/live");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();

  const char* list = BASS_ChannelGetTags(stream, BASS_TAG_ICY);
  ASSERT_NE(list, nullptr);
  // Walk it as the player does: text after text until an empty one.
  std::vector<std::string> walked;
  for (const char* p = list; *p; p += std::strlen(p) + 1) walked.emplace_back(p);
  EXPECT_EQ(walked,
            (std::vector<std::string>{"ICY 200 OK", "Content-Type: audio/mpeg", "icy-name:Test FM",
                                      "icy-br:128", "icy-metaint:1000"}));
  EXPECT_EQ(BASS_ChannelGetTags(stream, BASS_TAG_HTTP), nullptr);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);

  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  ASSERT_TRUE(WaitFor([&] { return BASS_ChannelGetTags(stream, BASS_TAG_META) != nullptr; }));
  EXPECT_EQ(TagText(stream, BASS_TAG_META), "StreamTitle='Artist - Song';StreamUrl='http://x/';");

  EXPECT_TRUE(BASS_StreamFree(stream));
  EXPECT_EQ(BASS_ChannelGetTags(stream, BASS_TAG_ICY), nullptr);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

// Catches Ogg comments missing, merged across tags, out of stream order, or
// not NUL-separated; and comments larger than the network buffer (a cover
// picture) stopping the stream.
TEST_F(StreamTest, OggCommentsOfTheStream) {
  const std::string picture(100 * 1024, 'P');
  struct Case {
    AudioFormat format;
    bool withPicture;
  } cases[] = {
      {AudioFormat::kOggVorbis, false}, {AudioFormat::kOggOpus, false},
      {AudioFormat::kOggFlac, false},   {AudioFormat::kOggVorbis, true},
      {AudioFormat::kOggOpus, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(tw::test::FormatName(c.format)) + (c.withPicture ? " + picture" : ""));
    std::vector<std::pair<std::string, std::string>> comments = {
        {"TITLE", "Song"}, {"ARTIST", "Band"}, {"ALBUM", "LP"}};
    if (c.withPicture) comments.emplace_back("METADATA_BLOCK_PICTURE", picture);
    ServeAudio("/ogg", "audio/ogg", Tone(c.format, kToneHz, comments));
    const HSTREAM stream = Open("/ogg");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    std::vector<std::string> tags = TagList(BASS_ChannelGetTags(stream, BASS_TAG_OGG));
    // The muxer may add its own ENCODER comment; ours keep their order.
    std::erase_if(tags, [](const std::string& t) {
      return t.starts_with("encoder=") || t.starts_with("ENCODER=");
    });
    std::vector<std::string> expected = {"TITLE=Song", "ARTIST=Band", "ALBUM=LP"};
    if (c.withPicture) expected.push_back("METADATA_BLOCK_PICTURE=" + picture);
    EXPECT_TRUE(tags == expected) << tags.size() << " comments, first "
                                  << (tags.empty() ? "" : tags.front().substr(0, 40));
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
    EXPECT_TRUE(BASS_StreamFree(stream));
  }
}

struct StatusLog {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::size_t dataBytes = 0;
  int unterminated = 0;
};

void OnStatus(const void* buffer, DWORD length, void* user) {
  auto* log = static_cast<StatusLog*>(user);
  std::lock_guard lock(log->mutex);
  if (!buffer) {
    ++log->unterminated;
    return;
  }
  if (length == 0) {
    log->lines.emplace_back(static_cast<const char*>(buffer));
    if (log->lines.back().find_first_of("\r\n") != std::string::npos) ++log->unterminated;
  } else {
    log->dataBytes += length;
  }
}

// Catches the status callback missing the status line or header lines, getting
// them with their CR LF or a length, losing the caller's user value, being called
// without BASS_STREAM_STATUS, or not seeing the data.
TEST_F(StreamTest, StatusCallbackGetsHeaderLinesAndData) {
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Test FM", "icy-br:128"};
  route.body = Tone(AudioFormat::kMp3);
  server.Serve("/live", route);

  StatusLog log;
  const HSTREAM stream = Open("/live", BASS_STREAM_STATUS, &OnStatus, &log);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lock(log.mutex);
    return log.dataBytes > 1000;
  }));
  EXPECT_TRUE(BASS_StreamFree(stream));
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"ICY 200 OK", "Content-Type: audio/mpeg",
                                                   "icy-name:Test FM", "icy-br:128"}));
    EXPECT_EQ(log.unterminated, 0);
  }

  // Without the flag the callback is not the caller's to receive.
  StatusLog unused;
  const HSTREAM quiet = Open("/live", 0, &OnStatus, &unused);
  ASSERT_NE(quiet, 0u);
  EXPECT_TRUE(BASS_StreamFree(quiet));
  std::lock_guard lock(unused.mutex);
  EXPECT_TRUE(unused.lines.empty());
  EXPECT_EQ(unused.dataBytes, 0u);
}

// Catches UTF-16 URLs (BASS_UNICODE) read as 8-bit, which would open nothing.
TEST_F(StreamTest, Utf16Url) {
  ServeAudio("/live", "audio/mpeg", Tone(AudioFormat::kMp3));
  const std::string url = server.Url("/live");
  const std::u16string wide(url.begin(), url.end());
  const HSTREAM stream = BASS_StreamCreateURL(wide.c_str(), 0, BASS_UNICODE, nullptr, nullptr);
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  EXPECT_TRUE(BASS_ChannelPlay(stream, 0));
  EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
  EXPECT_TRUE(BASS_StreamFree(stream));
}

// Serves `segments` under /hls/ and returns the media playlist text.
std::string MediaPlaylist(RadioServer& server, const std::vector<tw::test::Segment>& segments,
                          const char* extension, const char* type, bool endList,
                          std::size_t firstSequence = 0) {
  std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n";
  text += "#EXT-X-MEDIA-SEQUENCE:" + std::to_string(firstSequence) + "\n";
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const std::size_t n = firstSequence + i;
    const std::string name = "seg" + std::to_string(n) + extension;
    RadioServer::Route route;
    route.headers = {std::string("Content-Type: ") + type};
    route.body = segments[i].bytes;
    server.Serve("/hls/" + name, route);
    text += "#EXTINF:" + std::to_string(segments[i].seconds).substr(0, 5) + ",Part " +
            std::to_string(n) + "\n" + name + "\n";
  }
  if (endList) text += "#EXT-X-ENDLIST\n";
  return text;
}

std::vector<tw::test::Segment> Segments(AudioFormat format, double seconds, double each) {
  tw::test::ToneSpec tone;
  tone.frequency = kToneHz;
  tone.amplitude = kToneLevel;
  tone.seconds = seconds;
  return tw::test::EncodeToneSegments(format, tone, each);
}

// Catches HLS that does not play: segments not fetched in order, MPEG-TS or
// packed ADTS not decoded, a master playlist not followed to its media
// playlist, and the EXTINF tag or segment sync missing.
TEST_F(StreamTest, HlsPlaysSegments) {
  struct Case {
    const char* name;
    AudioFormat format;
    const char* extension;
    const char* type;
    bool master;
  } cases[] = {
      {"MPEG-TS", AudioFormat::kMpegTsAac, ".ts", "video/mp2t", false},
      {"packed ADTS", AudioFormat::kAacAdts, ".aac", "audio/aac", false},
      {"master to MPEG-TS", AudioFormat::kMpegTsAac, ".ts", "video/mp2t", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto segments = Segments(c.format, 3, 1);
    ASSERT_EQ(segments.size(), 3u);
    server.ServeText("/hls/media.m3u8", "application/vnd.apple.mpegurl",
                     MediaPlaylist(server, segments, c.extension, c.type, true));
    server.ServeText("/hls/master.m3u8", "application/x-mpegURL",
                     "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.2\"\n"
                     "media.m3u8\n");
    const HSTREAM stream = Open(c.master ? "/hls/master.m3u8" : "/hls/media.m3u8");
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    EXPECT_TRUE(TagText(stream, BASS_TAG_HLS_EXTINF).ends_with(",Part 0"))
        << TagText(stream, BASS_TAG_HLS_EXTINF);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    const tw::test::ToneMeasure m = WaitForTone(stream);
    EXPECT_TRUE(IsTone(m, kToneHz)) << "frequency " << m.frequency << " rms " << m.rms;
    EXPECT_TRUE(BASS_StreamFree(stream));
  }
}

// Catches a segment's title shown before the segment is heard (the reader runs
// ahead of playback) or titles skipped: polled while playing, the EXTINF tag goes
// through every segment's text in order.
TEST_F(StreamTest, HlsExtinfFollowsPlayback) {
  const auto segments = Segments(AudioFormat::kAacAdts, 3, 1);
  ASSERT_EQ(segments.size(), 3u);
  server.ServeText("/hls/media.m3u8", "application/vnd.apple.mpegurl",
                   MediaPlaylist(server, segments, ".aac", "audio/aac", true));
  const HSTREAM stream = Open("/hls/media.m3u8");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  syncs.Watch(stream, BASS_SYNC_HLS_SEGMENT);
  syncs.Watch(stream, BASS_SYNC_END);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  std::vector<std::string> seen;
  auto look = [&] {
    const std::string tag = TagText(stream, BASS_TAG_HLS_EXTINF);
    if (!tag.empty() && (seen.empty() || seen.back() != tag)) seen.push_back(tag);
  };
  WaitFor([&] {
    look();
    return syncs.Count(BASS_SYNC_HLS_SEGMENT) >= 2 || syncs.Count(BASS_SYNC_END) > 0;
  });
  look();
  ASSERT_EQ(seen.size(), 3u) << ::testing::PrintToString(seen);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NE(seen[i].find(",Part " + std::to_string(i)), std::string::npos) << seen[i];
  }
  // One segment sync for each segment after the first (which was playing when the
  // stream was created, before any sync could be set).
  const auto segmentSyncs = syncs.Of(BASS_SYNC_HLS_SEGMENT);
  ASSERT_EQ(segmentSyncs.size(), 2u);
  EXPECT_NE(segmentSyncs[0].extinf.find(",Part 1"), std::string::npos) << segmentSyncs[0].extinf;
  EXPECT_NE(segmentSyncs[1].extinf.find(",Part 2"), std::string::npos) << segmentSyncs[1].extinf;
}

// Catches a live playlist that is read once and never again: segments added
// while the stream plays must be fetched and heard.
TEST_F(StreamTest, HlsLivePlaylistReloads) {
  const auto segments = Segments(AudioFormat::kMpegTsAac, 4, 1);
  ASSERT_EQ(segments.size(), 4u);
  // Everything is served, but the playlist lists two segments to begin with.
  const std::string full = MediaPlaylist(server, segments, ".ts", "video/mp2t", false);
  const std::vector<tw::test::Segment> firstTwo(segments.begin(), segments.begin() + 2);
  server.ServeText("/hls/live.m3u8", "application/vnd.apple.mpegurl",
                   MediaPlaylist(server, firstTwo, ".ts", "video/mp2t", false));
  const HSTREAM stream = Open("/hls/live.m3u8");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  syncs.Watch(stream, BASS_SYNC_HLS_SEGMENT);
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  server.UpdateText("/hls/live.m3u8", full);
  ASSERT_TRUE(server.WaitForRequests("/hls/seg3.ts", 1)) << "the reload was not fetched";
  EXPECT_TRUE(WaitFor([&] { return TagText(stream, BASS_TAG_HLS_EXTINF).ends_with("Part 3"); }))
      << TagText(stream, BASS_TAG_HLS_EXTINF);
  EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
  EXPECT_GE(server.Requests("/hls/live.m3u8"), 2);
  EXPECT_GE(syncs.Count(BASS_SYNC_HLS_SEGMENT), 2u);
  EXPECT_TRUE(BASS_StreamFree(stream));
}

// Catches playlists whose entries are not tried in order, a dead first entry
// failing the whole playlist, or a playlist kind not recognised.
TEST_F(StreamTest, PlaylistsTryEntriesInOrder) {
  ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1));
  ServeAudio("/good", "audio/mpeg", Tone(AudioFormat::kMp3));
  const std::string dead = server.Url("/dead");
  const std::string good = server.Url("/good");
  struct Case {
    const char* path;
    const char* type;
    std::string text;
  } cases[] = {
      {"/list.pls", "audio/x-scpls",
       "[playlist]\nNumberOfEntries=2\nFile1=" + dead + "\nFile2=" + good + "\nVersion=2\n"},
      {"/list.m3u", "audio/x-mpegurl", "#EXTM3U\n#EXTINF:-1,Dead\n" + dead + "\n" + good + "\n"},
      {"/list.xspf", "application/xspf+xml",
       "<?xml version=\"1.0\"?><playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\">"
       "<trackList><track><location>" +
           dead + "</location></track><track><location>" + good +
           "</location></track></trackList></playlist>"},
      {"/list.asx", "video/x-ms-asf",
       "<asx version=\"3.0\"><entry><ref href=\"" + dead + "\"/></entry><entry><ref href=\"" +
           good + "\"/></entry></asx>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    server.ServeText(c.path, c.type, c.text);
    const int deadBefore = server.Requests("/dead");
    const HSTREAM stream = Open(c.path);
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    EXPECT_EQ(server.Requests("/dead"), deadBefore + 1);
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    EXPECT_TRUE(IsTone(WaitForTone(stream), kToneHz));
    EXPECT_TRUE(BASS_StreamFree(stream));
  }
}

// Catches playlists followed although the option is off: the playlist text
// must then be refused as a stream, not played as noise.
TEST_F(StreamTest, PlaylistNotFollowedWhenOff) {
  ServeAudio("/good", "audio/mpeg", Tone(AudioFormat::kMp3));
  server.ServeText("/list.pls", "audio/x-scpls",
                   "[playlist]\nNumberOfEntries=1\nFile1=" + server.Url("/good") + "\n");
  EXPECT_EQ(Open("/list.pls"), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);
  EXPECT_EQ(server.Requests("/good"), 0);
}

}  // namespace
}  // namespace tw::engine::test
