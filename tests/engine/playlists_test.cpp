#include "engine/playlists.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace tw::engine::test {
namespace {

using namespace std::string_literals;
using Urls = std::vector<std::string>;

const char* KindName(PlaylistKind kind) {
  switch (kind) {
    case PlaylistKind::kNone:
      return "none";
    case PlaylistKind::kPls:
      return "PLS";
    case PlaylistKind::kM3u:
      return "M3U";
    case PlaylistKind::kXspf:
      return "XSPF";
    case PlaylistKind::kAsx:
      return "ASX";
    case PlaylistKind::kHls:
      return "HLS";
  }
  return "?";
}

struct DetectCase {
  const char* type;
  const char* url;
  std::string body;
  PlaylistKind kind;
};

void ExpectDetected(const DetectCase& c) {
  PlaylistKind got = DetectPlaylist(c.type, c.url, c.body);
  EXPECT_EQ(got, c.kind) << "type '" << c.type << "' url '" << c.url << "' body '" << c.body
                         << "': got " << KindName(got) << ", want " << KindName(c.kind);
}

const std::string kAsfHeader = "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA"s;
const std::string kMp3Frame = "\xFF\xFB\x90\x64\x00\x00\x00\x00"s;

// Catches playlist types not recognised, parameters or letter case in the
// Content-Type breaking the match, and M3U/HLS confused under mpegurl types.
TEST(PlaylistDetect, ByContentType) {
  const DetectCase cases[] = {
      {"audio/x-scpls", "http://h/listen", "", PlaylistKind::kPls},
      {"Audio/X-SCPLS; charset=UTF-8", "http://h/listen", "", PlaylistKind::kPls},
      {"audio/mpegurl", "http://h/listen", "http://h/a\n", PlaylistKind::kM3u},
      {"audio/x-mpegurl", "http://h/listen", "#EXTM3U\n#EXTINF:-1,X\nhttp://h/a\n",
       PlaylistKind::kM3u},
      {"audio/x-mpegurl", "http://h/listen", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n",
       PlaylistKind::kHls},
      {"application/vnd.apple.mpegurl", "http://h/x", "#EXTM3U\n#EXT-X-VERSION:3\n",
       PlaylistKind::kHls},
      {"application/vnd.apple.mpegurl", "http://h/x", "", PlaylistKind::kHls},
      {"application/x-mpegURL", "http://h/x", "", PlaylistKind::kHls},
      {"audio/x-mpegurl", "http://h/x", "", PlaylistKind::kM3u},
      {"application/vnd.apple.mpegurl", "http://h/x", "http://h/a\nhttp://h/b\n",
       PlaylistKind::kM3u},
      {"application/xspf+xml", "http://h/x", "", PlaylistKind::kXspf},
      {"video/x-ms-asx", "http://h/x", "", PlaylistKind::kAsx},
      {"audio/x-ms-wax", "http://h/x", "", PlaylistKind::kAsx},
      {"video/x-ms-asf", "http://h/x", "<ASX version=\"3.0\"><Entry>", PlaylistKind::kAsx},
      {"video/x-ms-asf", "http://h/x", "", PlaylistKind::kAsx},
      // The same type on a real ASF stream must reach the decoder.
      {"video/x-ms-asf", "http://h/x.asx", kAsfHeader, PlaylistKind::kNone},
      // Mislabelled servers: the body names the kind.
      {"audio/x-scpls", "http://h/x", "#EXTM3U\nhttp://h/a\n", PlaylistKind::kM3u},
  };
  for (const auto& c : cases) ExpectDetected(c);
}

// Catches an audio stream treated as a playlist because of its URL or an
// unlucky first byte: the stream would never play.
TEST(PlaylistDetect, AudioIsNeverAPlaylist) {
  const DetectCase cases[] = {
      {"audio/mpeg", "http://h/stream.m3u", kMp3Frame, PlaylistKind::kNone},
      {"audio/mpeg", "http://h/stream.pls", "[playlist]\nFile1=http://h/a\n", PlaylistKind::kNone},
      {"audio/aac", "http://h/a.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n", PlaylistKind::kNone},
      {"audio/aacp", "http://h/a.pls", "", PlaylistKind::kNone},
      {"audio/ogg", "http://h/a.xspf", "OggS", PlaylistKind::kNone},
      {"application/ogg", "http://h/a.m3u", "OggS", PlaylistKind::kNone},
      {"audio/flac", "http://h/a.asx", "fLaC", PlaylistKind::kNone},
      {"AUDIO/MPEG; charset=x", "http://h/a.pls", "", PlaylistKind::kNone},
      {"audio/x-ms-wma", "http://h/a.asx", "<asx>", PlaylistKind::kNone},
  };
  for (const auto& c : cases) ExpectDetected(c);
}

// Catches generic types (or none) not falling back to the URL's extension, the
// query or fragment hiding it, and an extension on the host taken for one.
TEST(PlaylistDetect, GenericTypeGoesByExtension) {
  const DetectCase cases[] = {
      {"text/plain", "http://h/radio.pls", "", PlaylistKind::kPls},
      {"", "http://h/radio.PLS", "", PlaylistKind::kPls},
      {"application/octet-stream", "http://h/a/radio.m3u?sid=1", "", PlaylistKind::kM3u},
      {"text/plain", "http://h/radio.m3u#top", "http://h/a\n", PlaylistKind::kM3u},
      {"text/plain", "http://h/radio.m3u8", "", PlaylistKind::kHls},
      {"text/plain", "http://h/radio.m3u8", "http://h/a.mp3\n", PlaylistKind::kM3u},
      {"text/plain", "http://h/radio.xspf", "", PlaylistKind::kXspf},
      {"text/plain", "http://h/radio.asx", "", PlaylistKind::kAsx},
      {"text/plain", "http://h/radio.wax", "", PlaylistKind::kAsx},
      {"text/plain", "http://radio.pls/stream", "", PlaylistKind::kNone},
      {"text/plain", "http://h/radio.pls/stream", "", PlaylistKind::kNone},
      {"text/plain", "http://h/stream", "", PlaylistKind::kNone},
      {"", "http://h/stream?format=.pls", "", PlaylistKind::kNone},
      // A bare list of URLs.
      {"text/plain", "http://h/listen", "\r\nhttps://h/a\r\n", PlaylistKind::kM3u},
      {"text/plain", "http://h/listen", "hello\nhttp://h/a\n", PlaylistKind::kNone},
      // Other types do not look at the URL.
      {"text/html", "http://h/radio.pls", "<html><body>", PlaylistKind::kNone},
  };
  for (const auto& c : cases) ExpectDetected(c);
}

// Catches playlists missed when only their first bytes say what they are (BOM,
// blanks, XML declarations and comments before the root element).
TEST(PlaylistDetect, ByFirstBytes) {
  const DetectCase cases[] = {
      {"", "http://h/x", "[playlist]\nNumberOfEntries=1\n", PlaylistKind::kPls},
      {"text/plain", "http://h/x", "\xEF\xBB\xBF[Playlist]\r\n", PlaylistKind::kPls},
      {"", "http://h/x", "#EXTM3U\n#EXTINF:-1,Radio\nhttp://h/a\n", PlaylistKind::kM3u},
      {"", "http://h/x", "\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-STREAM-INF:BANDWIDTH=1\r\n",
       PlaylistKind::kHls},
      {"", "http://h/x.m3u", "#EXTM3U\n#EXTINF:10,\n#EXT-X-ENDLIST\n", PlaylistKind::kHls},
      {"", "http://h/x",
       "<?xml version=\"1.0\"?>\n<!-- x -->\n<playlist version=\"1\" "
       "xmlns=\"http://xspf.org/ns/0/\">",
       PlaylistKind::kXspf},
      {"application/xml", "http://h/x", "<playlist xmlns=\"http://xspf.org/ns/0/\">",
       PlaylistKind::kXspf},
      {"", "http://h/x", "  <ASX version=\"3.0\">", PlaylistKind::kAsx},
      {"text/xml", "http://h/x", "<?xml version='1.0'?><asx>", PlaylistKind::kAsx},
      {"", "http://h/x", "<html><playlist>", PlaylistKind::kNone},
      {"", "http://h/x", "ID3\x04\x00", PlaylistKind::kNone},
      {"", "http://h/x", kMp3Frame, PlaylistKind::kNone},
      {"", "http://h/x", "", PlaylistKind::kNone},
  };
  for (const auto& c : cases) ExpectDetected(c);
}

struct ParseCase {
  const char* name;
  std::string body;
  Urls urls;
};

void ExpectParsed(PlaylistKind kind, const ParseCase& c,
                  std::string_view base = "http://radio.example/lists/station.pls") {
  EXPECT_EQ(ParsePlaylist(kind, c.body, base), c.urls) << KindName(kind) << ": " << c.name;
}

// Catches PLS entries taken in file order instead of by number, keys matched
// case-sensitively, and Title/Length lines taken for URLs.
TEST(PlaylistParse, Pls) {
  const ParseCase cases[] = {
      {"ordinary",
       "[playlist]\nNumberOfEntries=2\nFile1=http://a.example:8000/live\nTitle1=Radio A\n"
       "Length1=-1\nFile2=http://b.example/live\nTitle2=Radio B\nLength2=-1\nVersion=2\n",
       {"http://a.example:8000/live", "http://b.example/live"}},
      {"numeric order, not file order",
       "[playlist]\nFile10=http://h/10\nFile2=http://h/2\nFile1=http://h/1\n",
       {"http://h/1", "http://h/2", "http://h/10"}},
      {"keys in any case, blanks and CR LF",
       "[PLAYLIST]\r\nfile1 = http://h/a \r\nFILE2=http://h/b\r\n",
       {"http://h/a", "http://h/b"}},
      {"the first of two equal numbers wins",
       "File1=http://h/a\nFile1=http://h/b\n",
       {"http://h/a"}},
      {"'=' inside the URL", "File1=http://h/a?x=1&y=2\n", {"http://h/a?x=1&y=2"}},
      {"relative entries",
       "File1=live.mp3\nFile2=/top\n",
       {"http://radio.example/lists/live.mp3", "http://radio.example/top"}},
      {"not FileN",
       "Files=http://h/a\nFile=http://h/b\nFile1x=http://h/c\nFile-1=http://h/d\n"
       "Title1=http://h/e\nFile+2=http://h/f\n",
       {}},
      {"number too large",
       "File99999999999999999999999=http://h/a\nFile3=http://h/b\n",
       {"http://h/b"}},
      {"empty", "", {}},
  };
  for (const auto& c : cases) ExpectParsed(PlaylistKind::kPls, c);
}

// Catches comment lines or blank lines taken for URLs, a BOM glued to the first
// URL, and CR left at the end of URLs.
TEST(PlaylistParse, M3u) {
  const ParseCase cases[] = {
      {"extended",
       "#EXTM3U\n#EXTINF:-1,Radio A\nhttp://h/a\n\n#EXTINF:-1,Radio B\nhttp://h/b\n",
       {"http://h/a", "http://h/b"}},
      {"BOM and CR LF", "\xEF\xBB\xBFhttp://h/a\r\nhttp://h/b\r\n", {"http://h/a", "http://h/b"}},
      {"lone CR", "http://h/a\rhttp://h/b", {"http://h/a", "http://h/b"}},
      {"blanks around", "  http://h/a  \n\t\n", {"http://h/a"}},
      {"relative",
       "a.mp3\n../b.mp3\n//other.example/c\n?sid=2\n",
       {"http://radio.example/lists/a.mp3", "http://radio.example/b.mp3", "http://other.example/c",
        "http://radio.example/lists/station.pls?sid=2"}},
      {"only comments", "#EXTM3U\n# http://h/a\n", {}},
  };
  for (const auto& c : cases) ExpectParsed(PlaylistKind::kM3u, c);
}

// Catches the playlist's own <location> taken for a stream, entities left
// encoded, and CDATA or namespace prefixes defeating the reader.
TEST(PlaylistParse, Xspf) {
  const ParseCase cases[] = {
      {"ordinary",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
       "<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\">\n"
       "  <location>http://h/this-playlist.xspf</location>\n"
       "  <trackList>\n"
       "    <track><title>A</title><location>http://h/a?x=1&amp;y=2</location></track>\n"
       "    <track>\n      <location>\n        http://h/b\n      </location>\n    </track>\n"
       "  </trackList>\n</playlist>\n",
       {"http://h/a?x=1&y=2", "http://h/b"}},
      {"entities",
       "<playlist><trackList><track><location>http://h/&lt;&gt;&quot;&apos;&#65;&#x42;&#x20AC;"
       "</location></track></trackList></playlist>",
       {"http://h/<>\"'AB%E2%82%AC"}},
      {"broken entities stay as written",
       "<playlist><trackList><track><location>http://h/?a=1&b=2&bogus;&#xZZ;&#0;&#55296;"
       "</location></track></trackList></playlist>",
       {"http://h/?a=1&b=2&bogus;&#xZZ;&#0;&#55296;"}},
      {"CDATA is not decoded",
       "<playlist><trackList><track><location><![CDATA[http://h/a?x=1&amp;y]]></location>"
       "</track></trackList></playlist>",
       {"http://h/a?x=1&amp;y"}},
      {"several locations in a track, prefixes, comments",
       "<x:playlist xmlns:x=\"http://xspf.org/ns/0/\"><x:trackList><x:track>"
       "<!-- <location>http://h/commented</location> -->"
       "<x:location>http://h/1</x:location><x:location>relative</x:location>"
       "</x:track></x:trackList></x:playlist>",
       {"http://h/1", "http://radio.example/lists/relative"}},
      {"location outside any track", "<playlist><location>http://h/self</location></playlist>", {}},
      {"unterminated", "<playlist><trackList><track><location>http://h/a", {}},
  };
  for (const auto& c : cases) ExpectParsed(PlaylistKind::kXspf, c);
}

// Catches case-sensitive tag or attribute names, one kind of quote only, and
// entities in href left encoded.
TEST(PlaylistParse, Asx) {
  const ParseCase cases[] = {
      {"ordinary",
       "<asx version=\"3.0\"><title>Radio</title>"
       "<entry><ref href=\"http://h/a\"/></entry>"
       "<entry><ref href=\"http://h/b\" /></entry></asx>",
       {"http://h/a", "http://h/b"}},
      {"upper case, single quotes, blanks around '='",
       "<ASX VERSION='3.0'><ENTRY><REF HREF = 'http://h/a' /></ENTRY>"
       "<Entry><Ref\nHref=\"http://h/b?x=1&amp;y=2\"></Ref></Entry></ASX>",
       {"http://h/a", "http://h/b?x=1&y=2"}},
      {"other attributes first, '>' inside a value",
       "<asx><entry><ref title=\"a > b\" HREF=\"http://h/a\"/></entry></asx>",
       {"http://h/a"}},
      {"unquoted value", "<asx><entry><ref href=http://h/a></entry></asx>", {"http://h/a"}},
      {"not ref",
       "<asx><entry><refx href=\"http://h/x\"/><entryref href=\"http://h/y\"/>"
       "<ref hrefx=\"http://h/z\"/></entry></asx>",
       {}},
      {"relative",
       "<asx><entry><ref href=\"b.mp3\"/></entry></asx>",
       {"http://radio.example/lists/b.mp3"}},
  };
  for (const auto& c : cases) ExpectParsed(PlaylistKind::kAsx, c);
}

// Catches playlists used to reach local files or other protocols: every kind
// must drop entries that are not http(s).
TEST(PlaylistParse, DropsOtherSchemes) {
  const char* refused[] = {
      "file:///etc/passwd",  "FILE://localhost/etc/passwd",
      "ftp://h/a.mp3",       "data:audio/mpeg,xx",
      "gopher://h/",         "scp://h/x",
      "mms://h/x",           "rtsp://h/x",
      "javascript:alert(1)", "C:\\Music\\a.mp3",
      "http:/no-host",       "http:no-host",
      "http:///x",
  };
  for (const char* url : refused) {
    const std::string u = url;
    ExpectParsed(PlaylistKind::kPls,
                 {url, "File1=" + u + "\nFile2=http://h/ok\n", {"http://h/ok"}});
    ExpectParsed(PlaylistKind::kM3u, {url, u + "\nhttp://h/ok\n", {"http://h/ok"}});
    ExpectParsed(PlaylistKind::kXspf,
                 {url,
                  "<playlist><trackList><track><location>" + u +
                      "</location></track><track><location>http://h/ok</location></track>"
                      "</trackList></playlist>",
                  {"http://h/ok"}});
    ExpectParsed(PlaylistKind::kAsx,
                 {url,
                  "<asx><entry><ref href=\"" + u + "\"/><ref href=\"http://h/ok\"/></entry></asx>",
                  {"http://h/ok"}});
  }
  // A local file's playlist has no http base: its relative entries go nowhere.
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, "a.mp3\n", "file:///home/u/list.m3u"), Urls{});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, "a.mp3\n", ""), Urls{});
}

// Catches URLs with control characters passed on (header injection into the
// request) and blanks or 8-bit bytes passed on raw.
TEST(PlaylistParse, CleansUrls) {
  const ParseCase cases[] = {
      {"blank inside", "http://h/my station.mp3\n", {"http://h/my%20station.mp3"}},
      {"8-bit bytes", "http://h/st\xC3\xA4tion\n", {"http://h/st%C3%A4tion"}},
      {"control character",
       "http://h/a\x01"
       "b\nhttp://h/ok\n",
       {"http://h/ok"}},
      {"NUL", "http://h/a\0b\nhttp://h/ok\n"s, {"http://h/ok"}},
      {"DEL", "http://h/a\x7f\nhttp://h/ok\n", {"http://h/ok"}},
      {"tab inside", "http://h/a\tb\nhttp://h/ok\n", {"http://h/ok"}},
  };
  for (const auto& c : cases) ExpectParsed(PlaylistKind::kM3u, c);
  // A decoded entity must not smuggle a control character in either.
  ExpectParsed(PlaylistKind::kAsx,
               {"entity", "<asx><ref href=\"http://h/a&#13;&#10;X-Evil: 1\"/></asx>", {}});
}

// Catches playlists that grow without bound: entry count and URL length are capped.
TEST(PlaylistParse, CapsEntriesAndUrlLength) {
  std::string m3u;
  std::string pls = "[playlist]\n";
  std::string asx = "<asx>";
  std::string xspf = "<playlist><trackList>";
  Urls first;
  const std::size_t total = kMaxPlaylistEntries * 10;
  for (std::size_t i = 1; i <= total; ++i) {
    std::string url = "http://h/" + std::to_string(i);
    if (i <= kMaxPlaylistEntries) first.push_back(url);
    m3u += url + "\n";
    asx += "<entry><ref href=\"" + url + "\"/></entry>";
    xspf += "<track><location>" + url + "</location></track>";
    // Written last to first: the lowest numbers must be the ones kept.
    std::size_t n = total + 1 - i;
    pls += "File" + std::to_string(n) + "=http://h/" + std::to_string(n) + "\n";
  }
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, m3u, "http://h/"), first);
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kPls, pls, "http://h/"), first);
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kAsx, asx, "http://h/"), first);
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kXspf, xspf, "http://h/"), first);

  const std::string longest = "http://h/" + std::string(kMaxUrlLength - 9, 'x');
  const std::string tooLong = longest + "x";
  ASSERT_EQ(longest.size(), kMaxUrlLength);
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, longest + "\n" + tooLong + "\n", ""), Urls{longest});
  // Cut short by encoding: each blank becomes three bytes.
  const std::string blanks = "http://h/" + std::string(kMaxUrlLength / 2, ' ');
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, blanks + "x\nhttp://h/ok\n", ""),
            Urls{"http://h/ok"});
  // Resolved against a long base.
  const std::string longBase = "http://h/" + std::string(kMaxUrlLength - 20, 'b') + "/";
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, "0123456789abcdefghijk\nshort\n", longBase),
            Urls{longBase + "short"});
}

// Catches parsers that hang or crash on hostile input: huge lines, floods of
// the characters a reader stops at, unterminated constructs. Quadratic time on
// any of these would run past the test's time limit.
TEST(PlaylistParse, HostileInputEndsCleanly) {
  const std::string huge(10'000'000, 'a');
  const std::string amps(2'000'000, '&');
  const std::string lts(2'000'000, '<');
  const std::string ok = "http://h/ok";
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, huge + "\n" + ok, "http://h/"), Urls{ok});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kPls, "File1=" + huge + "\nFile2=" + ok, "http://h/"),
            Urls{ok});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kPls, std::string(2'000'000, '=') + "\nFile1=" + ok, ""),
            Urls{ok});
  EXPECT_EQ(
      ParsePlaylist(
          PlaylistKind::kXspf,
          "<track><location>" + amps + "</location><location>" + ok + "</location></track>", ""),
      Urls{ok});
  EXPECT_EQ(
      ParsePlaylist(PlaylistKind::kXspf, "<track><location>http://h/" + huge + "</location>", ""),
      Urls{});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kAsx, "<ref href=\"" + ok + "\"/>" + lts, ""), Urls{ok});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kAsx, "<ref " + std::string(1'000'000, '"') + ">", ""),
            Urls{});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kAsx,
                          "<ref " + std::string(1'000'000, '=') + " href='" + ok + "'>", ""),
            Urls{ok});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kAsx, "<!--" + huge, ""), Urls{});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kXspf, "<![CDATA[" + huge, ""), Urls{});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, std::string(1'000'000, '\0'), "http://h/"), Urls{});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, std::string(4000, '/') + "\n" + ok, "http://h/"),
            Urls{ok});
  std::string dots;
  for (int i = 0; i < 1000; ++i) dots += "../";
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, dots + "x", "http://h/a/b/c"), Urls{"http://h/x"});
  EXPECT_EQ(DetectPlaylist("", "http://h/" + huge, huge), PlaylistKind::kNone);
  EXPECT_EQ(DetectPlaylist("", "", "#EXTM3U\n" + huge), PlaylistKind::kM3u);
}

// Catches HLS bodies read as station lists (each segment tried as a station).
TEST(PlaylistParse, HlsAndNoneGiveNothing) {
  const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\nhttp://h/seg1.ts\n";
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kHls, hls, "http://h/"), Urls{});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kNone, hls, "http://h/"), Urls{});
  EXPECT_EQ(ParsePlaylist(PlaylistKind::kM3u, hls, "http://h/"), Urls{"http://h/seg1.ts"});
}

// Catches anything but http and https let through to the network layer.
TEST(PlaylistScheme, OnlyHttpAndHttps) {
  struct {
    const char* url;
    bool allowed;
  } cases[] = {
      {"http://h/", true},
      {"https://h/a", true},
      {"HTTP://H", true},
      {"HtTpS://h:8443/x?y#z", true},
      {"http://user@h/", true},
      {"file:///etc/passwd", false},
      {"ftp://h/a", false},
      {"data:text/plain,x", false},
      {"gopher://h/", false},
      {"scp://h/x", false},
      {"dict://h/", false},
      {"ldap://h/", false},
      {"telnet://h/", false},
      {"httpx://h/", false},
      {"htt://h/", false},
      {"https+unix://h/", false},
      {"http:/h", false},
      {"http:h", false},
      {"http://", false},
      {"http:///etc/passwd", false},
      {"http://?x", false},
      {" http://h/", false},
      {"//h/x", false},
      {"/x", false},
      {"", false},
  };
  for (auto& c : cases) EXPECT_EQ(IsAllowedScheme(c.url), c.allowed) << c.url;
}

// Catches wrong relative resolution: the reference resolution examples of
// RFC 3986 section 5.4, normal and abnormal.
TEST(ResolveUrl, Rfc3986Examples) {
  const std::string_view base = "http://a/b/c/d;p?q";
  struct {
    const char* reference;
    const char* resolved;
  } cases[] = {
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"g#s", "http://a/b/c/g#s"},
      {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"},
      {"g;x", "http://a/b/c/g;x"},
      {"g;x?y#s", "http://a/b/c/g;x?y#s"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../..", "http://a/"},
      {"../../", "http://a/"},
      {"../../g", "http://a/g"},
      {"../../../g", "http://a/g"},
      {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {".g", "http://a/b/c/.g"},
      {"g..", "http://a/b/c/g.."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"./g/.", "http://a/b/c/g/"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"g#s/./x", "http://a/b/c/g#s/./x"},
      {"g#s/../x", "http://a/b/c/g#s/../x"},
      {"http:g", "http:g"},
  };
  for (auto& c : cases) EXPECT_EQ(ResolveUrl(base, c.reference), c.resolved) << c.reference;
}

// Catches bases real stations hand out (no path, a port, a query) resolved
// wrongly, and relative references resolved against a base that is not a URL.
TEST(ResolveUrl, StationBases) {
  struct {
    const char* base;
    const char* reference;
    const char* resolved;
  } cases[] = {
      {"http://h:8000", "stream", "http://h:8000/stream"},
      {"http://h:8000", "?sid=1", "http://h:8000?sid=1"},
      {"http://h:8000/listen.pls?sid=1", "stream", "http://h:8000/stream"},
      {"https://h/dir/list.m3u8#x", "seg.ts", "https://h/dir/seg.ts"},
      {"https://h/dir/", "//cdn.example/a", "https://cdn.example/a"},
      {"https://h/dir/", "HTTP://Other/A", "HTTP://Other/A"},
      // Found by fuzzing: a base with dot segments gave "?q" entries a path no
      // other entry of the same playlist would have.
      {"http://h/a/../../b/./c/", "?q=1", "http://h/b/c/?q=1"},
      {"http://h/a/./b", "", "http://h/a/b"},
      {"", "stream", ""},
      {"h/dir/list.pls", "stream", ""},
      {"", "http://h/a", "http://h/a"},
  };
  for (auto& c : cases) {
    EXPECT_EQ(ResolveUrl(c.base, c.reference), c.resolved) << c.base << " + " << c.reference;
  }
}

}  // namespace
}  // namespace tw::engine::test
