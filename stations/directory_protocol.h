// What goes over the wire to the public station directory (radio-browser) and
// back: the search request's path, and its JSON answer read into stations the
// editor can add. Pure: no I/O, no Qt, so the fuzzer and the case tables reach
// every rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// An answer larger than this is not read on: a search that matches this much
// is too broad to show anyway (100 stations take about 100 KB).
inline constexpr std::size_t kMaxDirectoryAnswerBytes = 4 * 1024 * 1024;
// Stations asked for per search, and per "More results".
inline constexpr int kDirectoryPageSize = 100;
// Names, countries and tags longer than this are cut: the list shows them on
// one line, and the station file keeps values of at most 2047 characters.
inline constexpr std::size_t kMaxDirectoryTextChars = 200;
// Longer URLs would be cut when the station file is read back.
inline constexpr std::size_t kMaxStreamUrlBytes = 2047;

struct DirectoryQuery {
  std::string name;  // UTF-8, as typed
  std::string tag;
  std::string country;
  std::string language;
  int offset = 0;
  int limit = kDirectoryPageSize;
};

// "/json/stations/search?name=...": empty fields are left out, the words are
// percent-encoded, the directory sorts by votes, most first, without stations
// its checks found broken.
std::string SearchPath(const DirectoryQuery& query);

// "/json/url/<uuid>", the directory's click counter; "" for a uuid that is not
// one (only hex digits and '-').
std::string ClickPath(std::string_view stationUuid);

struct FoundStation {
  std::string uuid;
  std::string name;     // cleaned: no control or direction-override characters, cut
  std::string country;  // cleaned like the name
  std::string codec;
  std::string tags;
  int bitrate = 0;     // kbit/s, 0 when unknown
  int64_t votes = 0;   // never negative
  std::string url;     // http(s) stream address to add; "" when there is none
  std::string reason;  // why url is empty, for the greyed row
};

struct DirectoryPage {
  bool valid = false;  // the answer was a JSON array
  // Entries in the answer, duplicates and non-objects included: fewer than the
  // limit asked for means there are no more.
  std::size_t entries = 0;
  std::vector<FoundStation> stations;  // in the answer's order, each station once
};

// Reads the answer of SearchPath. Invalid UTF-8 reads as U+FFFD; missing, null
// or mistyped fields read as empty or 0; an answer that is not an array of
// objects, or nests deeper than any real answer, is not valid.
DirectoryPage ParseSearchAnswer(std::string_view json);

// The address to add: url_resolved when it is http(s), else the raw url when
// that is; otherwise "" and the reason.
struct StreamChoice {
  std::string url;
  std::string reason;
};
StreamChoice ChooseStreamUrl(std::string_view urlResolved, std::string_view url);

// http:// or https:// with a host, no blanks or control characters, short
// enough for the station file.
bool IsWebStreamUrl(std::string_view url);

// Display text from directory text: control characters become blanks (runs
// collapse), direction overrides and isolates go, the ends are trimmed, and
// the result is cut to maxChars characters. Input must be valid UTF-8.
std::string CleanDirectoryText(std::string_view utf8, std::size_t maxChars);

// Valid UTF-8 from any bytes: each invalid sequence becomes U+FFFD.
std::string ValidUtf8(std::string_view bytes);

// Identifies a station across pages, so "More results" never shows one twice.
std::string StationKey(const FoundStation& station);

// "128 kbps", or "" when unknown.
std::string BitRateText(int bitrate);

// What a screen reader says for a row: "name, country, codec, bit rate", the
// parts the directory left empty left out, and the reason of a greyed row.
std::string RowReading(const FoundStation& station);

}  // namespace tw
