#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/hls_playlist.h"
#include "engine/playlists.h"

namespace tw::engine::test {
namespace {

using namespace std::string_literals;

constexpr const char* kBase = "https://radio.example/live/index.m3u8";

HlsPlaylist MustParse(const std::string& text, std::string_view base = kBase) {
  std::optional<HlsPlaylist> playlist = ParseHls(text, base);
  EXPECT_TRUE(playlist.has_value()) << text.substr(0, 200);
  return playlist.value_or(HlsPlaylist{});
}

// Catches non-HLS bodies accepted (and a BOM or CR LF refused).
TEST(HlsParse, RequiresTheHeader) {
  struct {
    std::string text;
    bool accepted;
  } cases[] = {
      {"#EXTM3U\n", true},
      {"#EXTM3U", true},
      {"#EXTM3U\r\n#EXT-X-TARGETDURATION:10\r\n", true},
      {"\xEF\xBB\xBF#EXTM3U\n", true},
      {"", false},
      {"#EXTM3", false},
      {"#extm3u\n", false},
      {"\n#EXTM3U\n", false},
      {"http://h/a.ts\n", false},
      {"[playlist]\nFile1=http://h/a\n", false},
      {"\0#EXTM3U"s, false},
  };
  for (auto& c : cases) EXPECT_EQ(ParseHls(c.text, kBase).has_value(), c.accepted) << c.text;
}

// Catches the media playlist's header tags ignored, segments numbered from 0
// instead of the media sequence, and relative segment URIs left relative.
TEST(HlsParse, MediaPlaylist) {
  HlsPlaylist p = MustParse(
      "#EXTM3U\n"
      "#EXT-X-VERSION:3\n"
      "#EXT-X-TARGETDURATION:10\n"
      "#EXT-X-MEDIA-SEQUENCE:2680\n"
      "#EXTINF:10.0,Live Show\n"
      "seg2680.aac\n"
      "#EXT-X-PROGRAM-DATE-TIME:2024-01-01T00:00:00Z\n"
      "#EXTINF:9.976,\n"
      "/other/seg2681.aac\n"
      "#EXTINF:10,Artist - Title\n"
      "https://cdn.example/seg2682.aac?token=a,b\n");
  EXPECT_FALSE(p.isMaster);
  EXPECT_EQ(p.targetDuration, 10.0);
  EXPECT_EQ(p.mediaSequence, 2680u);
  EXPECT_FALSE(p.endList);
  ASSERT_EQ(p.segments.size(), 3u);
  struct {
    const char* url;
    const char* extinf;
    double duration;
    std::uint64_t sequence;
  } want[] = {
      {"https://radio.example/live/seg2680.aac", "10.0,Live Show", 10.0, 2680},
      {"https://radio.example/other/seg2681.aac", "9.976,", 9.976, 2681},
      {"https://cdn.example/seg2682.aac?token=a,b", "10,Artist - Title", 10.0, 2682},
  };
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(p.segments[i].url, want[i].url) << i;
    EXPECT_EQ(p.segments[i].extinf, want[i].extinf) << i;
    EXPECT_DOUBLE_EQ(p.segments[i].duration, want[i].duration) << i;
    EXPECT_EQ(p.segments[i].sequence, want[i].sequence) << i;
  }
  EXPECT_TRUE(MustParse("#EXTM3U\n#EXTINF:10,\na.ts\n#EXT-X-ENDLIST\n").endList);
}

// Catches the #EXTINF text cut at the first comma or trimmed of what the player
// shows, and durations read with a locale or accepted when negative or junk.
TEST(HlsParse, ExtinfKeptAsReceived) {
  struct {
    std::string line;
    std::string extinf;
    double duration;
  } cases[] = {
      {"#EXTINF:10.0,Live Show", "10.0,Live Show", 10.0},
      {"#EXTINF:6,Artist - Title, Live", "6,Artist - Title, Live", 6.0},
      {"#EXTINF:10", "10", 10.0},
      {"#EXTINF:4.5,", "4.5,", 4.5},
      {"#EXTINF:,Just a title", ",Just a title", 0},
      {"#EXTINF:-1,Radio", "-1,Radio", 0},
      {"#EXTINF:abc,Radio", "abc,Radio", 0},
      {"#EXTINF:10,5,Radio", "10,5,Radio", 10.0},
      {"#EXTINF:inf,x", "inf,x", 0},
      {"#EXTINF:nan,x", "nan,x", 0},
      {"#EXTINF:1" + std::string(400, '0') + ",x", "1" + std::string(400, '0') + ",x", 0},
      {"#EXTINF: 8 ,x", " 8 ,x", 8.0},
      {"#EXTINF:10,tvg-id=\"x\" Title", "10,tvg-id=\"x\" Title", 10.0},
      {"#EXTINF:10,Caf\xC3\xA9", "10,Caf\xC3\xA9", 10.0},
  };
  for (auto& c : cases) {
    HlsPlaylist p = MustParse("#EXTM3U\n" + c.line + "\nseg.ts\n");
    ASSERT_EQ(p.segments.size(), 1u) << c.line;
    EXPECT_EQ(p.segments[0].extinf, c.extinf) << c.line;
    EXPECT_DOUBLE_EQ(p.segments[0].duration, c.duration) << c.line;
  }
  // Each #EXTINF belongs to the next segment only.
  HlsPlaylist p = MustParse("#EXTM3U\n#EXTINF:5,A\na.ts\nb.ts\n");
  ASSERT_EQ(p.segments.size(), 2u);
  EXPECT_EQ(p.segments[0].extinf, "5,A");
  EXPECT_EQ(p.segments[1].extinf, "");
  EXPECT_EQ(p.segments[1].duration, 0.0);
}

// Catches a title of unbounded length kept per segment, and a cut that splits
// a UTF-8 character.
TEST(HlsParse, LongExtinfIsCutAtACharacter) {
  std::string title = "10,";
  while (title.size() < kMaxHlsExtinfLength - 1) title += "x";
  title += "\xC3\xA9\xC3\xA9";  // the first é straddles the limit
  HlsPlaylist p = MustParse("#EXTM3U\n#EXTINF:" + title + "\nseg.ts\n");
  ASSERT_EQ(p.segments.size(), 1u);
  EXPECT_EQ(p.segments[0].extinf, title.substr(0, kMaxHlsExtinfLength - 1));
}

// Catches variant attributes misread (commas inside quoted CODECS), the URI
// not taken from the next non-comment line, and audio renditions missed.
TEST(HlsParse, MasterPlaylist) {
  HlsPlaylist p = MustParse(
      "#EXTM3U\n"
      "#EXT-X-INDEPENDENT-SEGMENTS\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"English, main\",LANGUAGE=\"en\","
      "DEFAULT=YES,URI=\"audio/en.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"Muxed\",DEFAULT=NO\n"
      "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"s\",NAME=\"x\",URI=\"subs.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"Deutsch\",URI=\"audio/de.m3u8\"\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=55000,CODECS=\"mp4a.40.5\",AUDIO=\"aac\"\n"
      "low/index.m3u8\n"
      "#EXT-X-STREAM-INF:CODECS=\"mp4a.40.2,mp4a.40.5\",BANDWIDTH=128000\n"
      "# a comment between the tag and its URI\n"
      "\n"
      "https://cdn.example/mid/index.m3u8\n"
      "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=1,URI=\"iframes.m3u8\"\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=320000\n"
      "/high/index.m3u8\n");
  EXPECT_TRUE(p.isMaster);
  ASSERT_EQ(p.variants.size(), 3u);
  EXPECT_EQ(p.variants[0].url, "https://radio.example/live/low/index.m3u8");
  EXPECT_EQ(p.variants[0].bandwidth, 55000u);
  EXPECT_EQ(p.variants[0].codecs, "mp4a.40.5");
  EXPECT_EQ(p.variants[0].audioGroup, "aac");
  EXPECT_EQ(p.variants[1].url, "https://cdn.example/mid/index.m3u8");
  EXPECT_EQ(p.variants[1].bandwidth, 128000u);
  EXPECT_EQ(p.variants[1].codecs, "mp4a.40.2,mp4a.40.5");
  EXPECT_EQ(p.variants[2].url, "https://radio.example/high/index.m3u8");
  EXPECT_EQ(p.variants[2].bandwidth, 320000u);
  EXPECT_EQ(p.variants[2].codecs, "");
  EXPECT_TRUE(p.segments.empty());

  ASSERT_EQ(p.audioRenditions.size(), 2u);
  EXPECT_EQ(p.audioRenditions[0].url, "https://radio.example/live/audio/en.m3u8");
  EXPECT_EQ(p.audioRenditions[0].groupId, "aac");
  EXPECT_EQ(p.audioRenditions[0].name, "English, main");
  EXPECT_EQ(p.audioRenditions[0].language, "en");
  EXPECT_TRUE(p.audioRenditions[0].isDefault);
  EXPECT_EQ(p.audioRenditions[1].url, "https://radio.example/live/audio/de.m3u8");
  EXPECT_FALSE(p.audioRenditions[1].isDefault);

  // A master whose only variant is refused is still a master, not an empty
  // media playlist.
  HlsPlaylist refused = MustParse("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nfile:///x\n");
  EXPECT_TRUE(refused.isMaster);
  EXPECT_TRUE(refused.variants.empty());
}

// Catches attribute lists misread under odd but possible syntax: quoted commas,
// unterminated quotes, names that contain other names, junk values.
TEST(HlsParse, AttributeListSyntax) {
  struct {
    const char* attributes;
    std::uint64_t bandwidth;
    const char* codecs;
  } cases[] = {
      {"BANDWIDTH=1,CODECS=\"a,b\"", 1, "a,b"},
      {"CODECS=\"a,b\",BANDWIDTH=2", 2, "a,b"},
      {"CODECS=\"a,BANDWIDTH=3\",BANDWIDTH=4", 4, "a,BANDWIDTH=3"},
      {"NAME=\"BANDWIDTH=5\",BANDWIDTH=6", 6, ""},
      {"AVERAGE-BANDWIDTH=9,BANDWIDTH=7", 7, ""},
      {"XBANDWIDTH=9", 0, ""},
      {",,,BANDWIDTH=8,,", 8, ""},
      {"BANDWIDTH=abc", 0, ""},
      {"BANDWIDTH=-5", 0, ""},
      {"BANDWIDTH=1.5", 0, ""},
      {"BANDWIDTH=99999999999999999999999", 0, ""},
      {"BANDWIDTH=", 0, ""},
      {"BANDWIDTH", 0, ""},
      {"=,=,==,BANDWIDTH=10", 10, ""},
      {"CODECS=\"unterminated,BANDWIDTH=11", 0, "unterminated,BANDWIDTH=11"},
      {"CODECS=\"a\"junk,BANDWIDTH=12", 12, "a"},
      {"CODECS=\"\",BANDWIDTH=13", 13, ""},
      {"bandwidth=14", 14, ""},
      {"", 0, ""},
  };
  for (auto& c : cases) {
    HlsPlaylist p = MustParse("#EXTM3U\n#EXT-X-STREAM-INF:"s + c.attributes + "\nv.m3u8\n");
    ASSERT_EQ(p.variants.size(), 1u) << c.attributes;
    EXPECT_EQ(p.variants[0].bandwidth, c.bandwidth) << c.attributes;
    EXPECT_EQ(p.variants[0].codecs, c.codecs) << c.attributes;
  }
}

// Catches discontinuities lost, and encrypted segments not marked (the decoder
// would be fed ciphertext).
TEST(HlsParse, DiscontinuityAndEncryption) {
  HlsPlaylist p = MustParse(
      "#EXTM3U\n#EXTINF:10,\na.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:10,\nb.ts\n"
      "#EXT-X-KEY:METHOD=AES-128,URI=\"key\"\n#EXTINF:10,\nc.ts\n"
      "#EXT-X-KEY:METHOD=NONE\n#EXTINF:10,\nd.ts\n"
      "#EXT-X-KEY:URI=\"key\"\n#EXTINF:10,\ne.ts\n");
  ASSERT_EQ(p.segments.size(), 5u);
  bool discontinuity[] = {false, true, false, false, false};
  bool encrypted[] = {false, false, true, false, true};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(p.segments[i].discontinuity, discontinuity[i]) << i;
    EXPECT_EQ(p.segments[i].encrypted, encrypted[i]) << i;
  }
}

// Catches segment URIs that reach the network with another scheme, and the
// sequence numbers of later segments shifted when one is dropped.
TEST(HlsParse, DropsOtherSchemesKeepingSequenceNumbers) {
  HlsPlaylist p = MustParse(
      "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:7\n#EXTINF:10,\nfile:///etc/passwd\n"
      "#EXTINF:10,\nftp://h/a.ts\n#EXTINF:10,Kept\nb.ts\n#EXTINF:10,\nhttp://h/a\x01.ts\n"
      "#EXTINF:10,\nhttp://h/c.ts\n");
  ASSERT_EQ(p.segments.size(), 2u);
  EXPECT_EQ(p.segments[0].url, "https://radio.example/live/b.ts");
  EXPECT_EQ(p.segments[0].extinf, "10,Kept");
  EXPECT_EQ(p.segments[0].sequence, 9u);
  EXPECT_EQ(p.segments[1].url, "http://h/c.ts");
  EXPECT_EQ(p.segments[1].sequence, 11u);
  EXPECT_EQ(MustParse("#EXTM3U\n#EXTINF:10,\nseg.ts\n", "").segments.size(), 0u);
}

// Catches line endings and blanks breaking the reader.
TEST(HlsParse, LineEndingsAndBlanks) {
  const char* texts[] = {
      "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,T\nseg.ts\n",
      "#EXTM3U\r\n#EXT-X-TARGETDURATION:6\r\n#EXTINF:6,T\r\nseg.ts\r\n",
      "#EXTM3U\r#EXT-X-TARGETDURATION:6\r#EXTINF:6,T\rseg.ts",
      "\xEF\xBB\xBF#EXTM3U\n\n  #EXT-X-TARGETDURATION:6  \n\t#EXTINF:6,T\t\n  seg.ts  \n\n",
  };
  for (const char* text : texts) {
    HlsPlaylist p = MustParse(text);
    EXPECT_EQ(p.targetDuration, 6.0) << text;
    ASSERT_EQ(p.segments.size(), 1u) << text;
    EXPECT_EQ(p.segments[0].url, "https://radio.example/live/seg.ts") << text;
    EXPECT_EQ(p.segments[0].extinf, "6,T") << text;
  }
}

// Catches an empty media playlist refused by the parser (the engine decides
// what an empty playlist means), and header numbers misread.
TEST(HlsParse, HeaderValues) {
  struct {
    const char* tags;
    double target;
    std::uint64_t sequence;
  } cases[] = {
      {"#EXT-X-TARGETDURATION:10\n#EXT-X-MEDIA-SEQUENCE:123456789012", 10.0, 123456789012u},
      {"#EXT-X-TARGETDURATION:6.5", 6.5, 0},
      {"#EXT-X-TARGETDURATION:-3\n#EXT-X-MEDIA-SEQUENCE:-1", 0, 0},
      {"#EXT-X-TARGETDURATION:x\n#EXT-X-MEDIA-SEQUENCE:12x", 0, 0},
      {"#EXT-X-MEDIA-SEQUENCE:18446744073709551615", 0, 18446744073709551615u},
      {"#EXT-X-MEDIA-SEQUENCE:18446744073709551616", 0, 0},
  };
  for (auto& c : cases) {
    HlsPlaylist p = MustParse("#EXTM3U\n"s + c.tags + "\n");
    EXPECT_EQ(p.targetDuration, c.target) << c.tags;
    EXPECT_EQ(p.mediaSequence, c.sequence) << c.tags;
    EXPECT_TRUE(p.segments.empty()) << c.tags;
    EXPECT_FALSE(p.isMaster) << c.tags;
  }
}

// Catches unbounded segment lists, and the cap keeping the oldest segments
// where live playback needs the newest.
TEST(HlsParse, SegmentCapKeepsTheNewest) {
  const std::size_t total = kMaxHlsSegments + 50;
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:1000\n";
  for (std::size_t i = 0; i < total; ++i) {
    text += "#EXTINF:4,Segment " + std::to_string(i) + "\ns" + std::to_string(i) + ".aac\n";
  }
  HlsPlaylist p = MustParse(text);
  ASSERT_EQ(p.segments.size(), kMaxHlsSegments);
  EXPECT_EQ(p.segments.front().sequence, 1050u);
  EXPECT_EQ(p.segments.front().url, "https://radio.example/live/s50.aac");
  EXPECT_EQ(p.segments.back().sequence, 1000u + total - 1);
  EXPECT_EQ(p.segments.back().extinf, "4,Segment " + std::to_string(total - 1));

  std::string master = "#EXTM3U\n";
  for (std::size_t i = 0; i < kMaxHlsVariants * 3; ++i) {
    master += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(i + 1) + "\nv.m3u8\n";
    master += "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",URI=\"a.m3u8\"\n";
  }
  HlsPlaylist m = MustParse(master);
  ASSERT_EQ(m.variants.size(), kMaxHlsVariants);
  EXPECT_EQ(m.variants.back().bandwidth, kMaxHlsVariants);
  EXPECT_EQ(m.audioRenditions.size(), kMaxHlsVariants);
}

// Catches hangs, crashes and runaway memory on hostile playlists: a 10 MB line,
// NULs, floods of quotes and commas, a long base URL repeated per segment.
TEST(HlsParse, HostileInputEndsCleanly) {
  const std::string huge(10'000'000, 'a');
  const std::string good = "#EXTINF:10,ok\nhttp://h/ok.ts\n";
  const std::string texts[] = {
      "#EXTM3U\n" + huge + "\n" + good,
      "#EXTM3U\n#EXTINF:" + huge + "\n" + good,
      "#EXTM3U\n#EXT-X-STREAM-INF:" + std::string(2'000'000, '"') + "\nv.m3u8\n" + good,
      "#EXTM3U\n#EXT-X-STREAM-INF:" + std::string(2'000'000, ',') + "\nv.m3u8\n" + good,
      "#EXTM3U\n#EXT-X-MEDIA:" + std::string(2'000'000, '=') + "\n" + good,
      "#EXTM3U\n" + std::string(1'000'000, '\0') + "\n" + good,
      "#EXTM3U\n" + std::string(1'000'000, '\n') + good,
  };
  for (const auto& text : texts) {
    HlsPlaylist p = MustParse(text);
    ASSERT_FALSE(p.segments.empty());
    EXPECT_EQ(p.segments.back().url, "http://h/ok.ts");
    EXPECT_EQ(p.segments.back().extinf, "10,ok");
  }
  // A long base and one-letter URIs: each resolved URL near the cap, kept
  // bounded by the URL and segment caps together.
  const std::string longBase = "http://h/" + std::string(kMaxUrlLength - 20, 'b') + "/";
  std::string many = "#EXTM3U\n";
  for (int i = 0; i < 20'000; ++i) many += "x\n";
  HlsPlaylist p = MustParse(many, longBase);
  ASSERT_EQ(p.segments.size(), kMaxHlsSegments);
  EXPECT_EQ(p.segments.back().url, longBase + "x");
}

HlsPlaylist Variants(std::vector<std::pair<std::uint64_t, const char*>> list) {
  HlsPlaylist p;
  p.isMaster = true;
  for (auto& [bandwidth, codecs] : list) {
    p.variants.push_back({"http://h/" + std::to_string(bandwidth), bandwidth, codecs, ""});
  }
  return p;
}

// Catches a variant choice that takes the first listed or the richest stream:
// radio wants the best bitrate up to 320 kbit/s, audio without video.
TEST(HlsChooseVariant, BestAudioUpTo320k) {
  struct {
    const char* name;
    HlsPlaylist playlist;
    std::size_t chosen;
  } cases[] = {
      {"highest at or below 320k", Variants({{64000, ""}, {128000, ""}, {320000, ""}}), 2},
      {"not above 320k", Variants({{128000, ""}, {320001, ""}, {96000, ""}}), 0},
      {"all above: the lowest", Variants({{500000, ""}, {400000, ""}, {900000, ""}}), 1},
      {"order does not matter", Variants({{48000, ""}, {256000, ""}, {128000, ""}}), 1},
      {"ties: the first", Variants({{128000, "mp4a.40.2"}, {128000, "mp4a.40.5"}}), 0},
      {"audio-only beats audio with video",
       Variants({{300000, "avc1.4d401e,mp4a.40.2"}, {64000, "mp4a.40.2"}}), 1},
      {"audio with video beats video only",
       Variants({{128000, "avc1.64001f"}, {256000, "avc1.64001f,mp4a.40.2"}}), 1},
      {"unknown codecs count as audio",
       Variants({{200000, "avc1.4d401e,mp4a.40.2"}, {96000, "xyz1"}}), 1},
      {"only video: still a choice", Variants({{900000, "hvc1.1"}, {400000, "avc1.1"}}), 1},
      {"missing bandwidth", Variants({{0, ""}, {128000, ""}}), 1},
      {"one", Variants({{999999999, ""}}), 0},
      {"none", Variants({}), 0},
  };
  for (auto& c : cases) EXPECT_EQ(ChooseVariant(c.playlist), c.chosen) << c.name;
}

HlsPlaylist Segments(double target, bool endList, std::vector<double> durations) {
  HlsPlaylist p;
  p.targetDuration = target;
  p.endList = endList;
  for (double d : durations) p.segments.push_back({"http://h/s", "", d, 0, false, false});
  return p;
}

// Catches live playback started at the first segment (far behind live, or
// stalling at the edge) and finished playlists not started at the beginning.
TEST(HlsStartIndex, ThreeTargetDurationsFromTheEnd) {
  struct {
    const char* name;
    HlsPlaylist playlist;
    std::size_t start;
  } cases[] = {
      {"finished playlist", Segments(10, true, {10, 10, 10, 10, 10, 10}), 0},
      {"live, even segments", Segments(10, false, {10, 10, 10, 10, 10, 10, 10, 10, 10, 10}), 7},
      {"live, short tail", Segments(10, false, {10, 10, 10, 4, 4}), 0},
      {"live, uneven", Segments(6, false, {6, 6, 6, 6, 6, 2, 5, 4, 6}), 4},
      {"live, durations missing", Segments(10, false, {0, 0, 0, 0, 0}), 2},
      {"live, fewer than three", Segments(10, false, {10, 10}), 0},
      {"target unknown", Segments(0, false, {5, 5, 5, 5, 5}), 2},
      {"target unknown, two segments", Segments(0, false, {5, 5}), 0},
      {"no segments", Segments(10, false, {}), 0},
  };
  for (auto& c : cases) EXPECT_EQ(HlsStartIndex(c.playlist), c.start) << c.name;
}

}  // namespace
}  // namespace tw::engine::test
