// The station directory's answers as the editor gets them: which address is
// added, how hostile text is shown, how broken answers are read.
#include "stations/directory_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

std::string Station(const std::string& fields) { return "[{" + fields + "}]"; }

// A non-http(s) address never reaches the list; the raw url stands in when it is http(s).
TEST(DirectoryProtocol, StreamAddressRules) {
  struct {
    const char* resolved;
    const char* url;
    const char* chosen;
    const char* reason;
  } cases[] = {
      {"https://a.example/live.mp3", "http://b.example/", "https://a.example/live.mp3", ""},
      {"HTTP://A.example/x.m3u8", "", "HTTP://A.example/x.m3u8", ""},
      {"file:///etc/passwd", "http://b.example/pls", "http://b.example/pls", ""},
      {"", "https://b.example/x.pls", "https://b.example/x.pls", ""},
      {"javascript:alert(1)", "", "", "the stream address is not http or https"},
      {"ftp://a.example/x", "file:///x", "", "the stream address is not http or https"},
      {"", "", "", "no stream address"},
      {"  https://a.example/s  ", "", "https://a.example/s", ""},
      {"http://", "", "", "the stream address is not http or https"},
      {"http:///path", "", "", "the stream address is not http or https"},
      {"http://a.example/with space", "", "", "the stream address is not http or https"},
      {"http://a.example/\x01", "", "", "the stream address is not http or https"},
  };
  for (const auto& c : cases) {
    const StreamChoice choice = ChooseStreamUrl(c.resolved, c.url);
    EXPECT_EQ(choice.url, c.chosen) << c.resolved << " | " << c.url;
    EXPECT_EQ(choice.reason, c.reason) << c.resolved << " | " << c.url;
  }
  const std::string tooLong = "http://a.example/" + std::string(3000, 'x');
  EXPECT_EQ(ChooseStreamUrl(tooLong, "").reason, "the stream address is too long");
}

// Names cannot reorder or break a row, nor grow without bound.
TEST(DirectoryProtocol, TextCleaning) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"  Jazz\tFM \r\n Paris  ", "Jazz FM Paris"},
      {"A\x7f"
       "B\xc2\x85"
       "C",
       "A B C"},  // DEL and C1 NEL
      {"\xe2\x80\xae"
       "evil"
       "\xe2\x80\xac",
       "evil"},                                                              // RLO ... PDF
      {"\xd7\xa8\xd7\x93\xd7\x99\xd7\x95 \xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d",  // Hebrew stays
       "\xd7\xa8\xd7\x93\xd7\x99\xd7\x95 \xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d"},
      {"<b>Bold</b> &amp;", "<b>Bold</b> &amp;"},  // shown as text, never rendered
      {"\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xac"},
  };
  for (const auto& c : cases) EXPECT_EQ(CleanDirectoryText(c.in, 200), c.out) << c.in;
  EXPECT_EQ(CleanDirectoryText(std::string(10000, 'n'), 200), std::string(200, 'n'));
  // Cut by characters, never inside one.
  std::string cyrillic;
  for (int i = 0; i < 300; ++i) cyrillic += "\xd0\x96";
  EXPECT_EQ(CleanDirectoryText(cyrillic, 200).size(), 400u);
  EXPECT_EQ(ValidUtf8("a\xff"
                      "b\xc0\xaf"
                      "c\xed\xa0\x80"),
            "a\xef\xbf\xbd"
            "b\xef\xbf\xbd\xef\xbf\xbd"
            "c\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
}

// Missing, null, mistyped and out-of-range fields read as empty or bounded values.
TEST(DirectoryProtocol, FieldsOfOneStation) {
  struct {
    std::string json;
    std::string name;
    int bitrate;
    int64_t votes;
  } cases[] = {
      {Station(R"("name":"Jazz","url":"http://j/","bitrate":128,"votes":42)"), "Jazz", 128, 42},
      {Station(R"("name":null,"url":"http://j/","bitrate":null,"votes":null)"), "http://j/", 0, 0},
      {Station(R"("url":"http://j/","bitrate":-5,"votes":-9)"), "http://j/", 0, 0},
      {Station(R"("name":7,"url":"http://j/","bitrate":"128","votes":1e300)"), "http://j/", 0,
       INT64_MAX},
      {Station(R"("name":"N","url":"http://j/","votes":99999999999999999999999)"), "N", 0,
       INT64_MAX},
      {Station(R"("name":"N","url":"http://j/","bitrate":4294967296,"votes":18446744073709551615)"),
       "N", 0, INT64_MAX},
      {Station(R"("name":"","url":"")"), "(no name)", 0, 0},
      {Station(R"("name":"a\u0000b\u202Ec","url":"http://j/")"), "a bc", 0, 0},
  };
  for (const auto& c : cases) {
    const DirectoryPage page = ParseSearchAnswer(c.json);
    ASSERT_TRUE(page.valid) << c.json;
    ASSERT_EQ(page.stations.size(), 1u) << c.json;
    EXPECT_EQ(page.stations[0].name, c.name) << c.json;
    EXPECT_EQ(page.stations[0].bitrate, c.bitrate) << c.json;
    EXPECT_EQ(page.stations[0].votes, c.votes) << c.json;
  }
}

// An answer that is not the directory's list is reported, not half read.
TEST(DirectoryProtocol, AnswersThatAreNotAList) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  for (const std::string& json :
       {std::string(), std::string("<html>Bad gateway</html>"), std::string(R"({"error":1})"),
        std::string("[{\"name\":\"cut"), std::string("null"), deep}) {
    EXPECT_FALSE(ParseSearchAnswer(json).valid) << json.substr(0, 40);
  }
  // Invalid UTF-8 inside a name spoils only that name.
  const DirectoryPage page = ParseSearchAnswer("[{\"name\":\"Caf\xe9\",\"url\":\"http://c/\"}, 5]");
  ASSERT_TRUE(page.valid);
  EXPECT_EQ(page.entries, 2u);
  ASSERT_EQ(page.stations.size(), 1u);
  EXPECT_EQ(page.stations[0].name, "Caf\xef\xbf\xbd");
}

// The same station listed many times shows once.
TEST(DirectoryProtocol, DuplicatesShowOnce) {
  std::string json = "[";
  for (int i = 0; i < 50; ++i) {
    json +=
        R"({"stationuuid":"960e57c5-0601-11e8-ae97-52543be04c81","name":"Same","url":"http://s/"},)";
  }
  json += R"({"stationuuid":"aaaa","name":"Other","url":"http://o/"}])";
  const DirectoryPage page = ParseSearchAnswer(json);
  EXPECT_EQ(page.entries, 51u);
  ASSERT_EQ(page.stations.size(), 2u);
  EXPECT_EQ(page.stations[1].name, "Other");
}

// The request carries every word encoded, and the directory's sort and paging.
TEST(DirectoryProtocol, SearchRequest) {
  DirectoryQuery query;
  query.name = "jazz & blues";
  query.country = "C\xc3\xb4te d'Ivoire";
  query.offset = 100;
  EXPECT_EQ(SearchPath(query),
            "/json/stations/search?name=jazz%20%26%20blues&country=C%C3%B4te%20d%27Ivoire&"
            "limit=100&offset=100&order=votes&reverse=true&hidebroken=true");
  EXPECT_EQ(ClickPath("960e57c5-0601-11e8-ae97-52543be04c81"),
            "/json/url/960e57c5-0601-11e8-ae97-52543be04c81");
  EXPECT_EQ(ClickPath("../../etc"), "");
}

// A screen reader hears a row as name, country, codec, bit rate.
TEST(DirectoryProtocol, RowReading) {
  FoundStation station;
  station.name = "Jazz FM";
  station.country = "France";
  station.codec = "MP3";
  station.bitrate = 128;
  EXPECT_EQ(RowReading(station), "Jazz FM, France, MP3, 128 kbps");
  station.country.clear();
  station.bitrate = 0;
  station.reason = "no stream address";
  EXPECT_EQ(RowReading(station), "Jazz FM, MP3, cannot be added: no stream address");
}

}  // namespace
}  // namespace tw
