#include "engine/playlists.h"

#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>

#include "engine/urls.h"
#include "engine/xml_reader.h"
#include "platform/text.h"

namespace tw::engine {
namespace {

// --- The playlist formats ----------------------------------------------------------

// Collects cleaned entries up to the cap.
class EntryList {
 public:
  explicit EntryList(std::string_view base) : base_(base) {}
  bool full() const { return urls_.size() >= kMaxPlaylistEntries; }
  void Add(std::string_view entry) {
    if (full()) return;
    std::string url = CleanEntryUrl(base_, entry);
    if (!url.empty()) urls_.push_back(std::move(url));
  }
  std::vector<std::string> Take() { return std::move(urls_); }

 private:
  std::string_view base_;
  std::vector<std::string> urls_;
};

std::vector<std::string> ParsePls(std::string_view body, std::string_view base) {
  // Ordered by N of "FileN", not by position: some generators write File10
  // before File2. Only the kMaxPlaylistEntries lowest numbers are kept.
  std::map<std::uint64_t, std::string> byNumber;
  ForEachLineUntil(body, [&](std::string_view line) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return true;
    std::string_view key = TrimAsciiSpace(line.substr(0, eq));
    if (key.size() <= 4 || !StartsWithNoCase(key, "file")) return true;
    std::string_view digits = key.substr(4);
    std::uint64_t number = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, number);
    if (!IsAsciiDigit(digits[0]) || ec != std::errc() || ptr != end) return true;
    if (byNumber.contains(number)) return true;  // the first FileN wins
    if (byNumber.size() >= kMaxPlaylistEntries && number > byNumber.rbegin()->first) {
      return true;
    }
    std::string url = CleanEntryUrl(base, TrimAsciiSpace(line.substr(eq + 1)));
    if (url.empty()) return true;
    byNumber.emplace(number, std::move(url));
    if (byNumber.size() > kMaxPlaylistEntries) byNumber.erase(std::prev(byNumber.end()));
    return true;
  });
  std::vector<std::string> urls;
  urls.reserve(byNumber.size());
  for (auto& [number, url] : byNumber) urls.push_back(std::move(url));
  return urls;
}

std::vector<std::string> ParseM3u(std::string_view body, std::string_view base) {
  EntryList entries(base);
  ForEachLineUntil(body, [&](std::string_view line) {
    line = TrimAsciiSpace(line);
    if (!line.empty() && line.front() != '#') entries.Add(line);
    return !entries.full();
  });
  return entries.Take();
}

std::vector<std::string> ParseXspf(std::string_view body, std::string_view base) {
  // Only <location> inside <track> names a stream; the playlist's own
  // <location> says where the playlist lives.
  constexpr std::size_t kLongestLocation = 4 * kMaxUrlLength;  // room for blanks
  EntryList entries(base);
  XmlReader reader(body);
  int trackDepth = 0;
  bool inLocation = false;
  bool tooLong = false;
  std::string location;
  while (!entries.full()) {
    XmlItem item = reader.Next();
    if (item.kind == XmlItem::Kind::kEnd) break;
    switch (item.kind) {
      case XmlItem::Kind::kStartTag:
        if (item.selfClosing) break;
        if (EqualNoCase(item.name, "track")) {
          ++trackDepth;
        } else if (trackDepth > 0 && EqualNoCase(item.name, "location")) {
          inLocation = true;
          tooLong = false;
          location.clear();
        }
        break;
      case XmlItem::Kind::kEndTag:
        if (EqualNoCase(item.name, "track")) {
          if (trackDepth > 0) --trackDepth;
          inLocation = false;
        } else if (inLocation && EqualNoCase(item.name, "location")) {
          if (!tooLong) entries.Add(TrimAsciiSpace(location));
          inLocation = false;
        }
        break;
      case XmlItem::Kind::kText:
      case XmlItem::Kind::kCdata:
        if (!inLocation || tooLong) break;
        if (location.size() + item.text.size() > kLongestLocation) {
          tooLong = true;
        } else if (item.kind == XmlItem::Kind::kText) {
          AppendXmlDecoded(item.text, &location);
        } else {
          location.append(item.text);
        }
        break;
      case XmlItem::Kind::kEnd:
        break;
    }
  }
  return entries.Take();
}

std::vector<std::string> ParseAsx(std::string_view body, std::string_view base) {
  EntryList entries(base);
  XmlReader reader(body);
  while (!entries.full()) {
    XmlItem item = reader.Next();
    if (item.kind == XmlItem::Kind::kEnd) break;
    if (item.kind != XmlItem::Kind::kStartTag || !EqualNoCase(item.name, "ref")) continue;
    std::optional<std::string_view> href = FindXmlAttribute(item.attrs, "href");
    if (!href || href->size() > kMaxUrlLength * 4) continue;
    std::string decoded;
    AppendXmlDecoded(*href, &decoded);
    entries.Add(TrimAsciiSpace(decoded));
  }
  return entries.Take();
}

// --- Detection ----------------------------------------------------------------------

bool HasHlsTag(std::string_view text) {
  bool found = false;
  ForEachLineUntil(text, [&](std::string_view line) {
    found = TrimAsciiSpace(line).starts_with("#EXT-X-");
    return !found;
  });
  return found;
}

bool FirstLineIsHttpUrl(std::string_view text) {
  bool isUrl = false;
  ForEachLineUntil(text, [&](std::string_view line) {
    line = TrimAsciiSpace(line);
    if (line.empty()) return true;
    isUrl = StartsWithNoCase(line, "http://") || StartsWithNoCase(line, "https://");
    return false;
  });
  return isUrl;
}

// What the body says it is, kNone when it does not say.
PlaylistKind SniffBody(std::string_view firstBytes) {
  std::string_view text = TrimAsciiSpace(SkipUtf8Bom(firstBytes));
  if (StartsWithNoCase(text, "[playlist]")) return PlaylistKind::kPls;
  if (text.starts_with("#EXTM3U")) {
    return HasHlsTag(text) ? PlaylistKind::kHls : PlaylistKind::kM3u;
  }
  if (!text.starts_with("<")) return PlaylistKind::kNone;
  // The root element decides; the XML declaration, comments and DOCTYPE before
  // it are skipped by the reader.
  XmlReader reader(text);
  for (;;) {
    XmlItem item = reader.Next();
    if (item.kind == XmlItem::Kind::kText && TrimAsciiSpace(item.text).empty()) continue;
    if (item.kind != XmlItem::Kind::kStartTag) return PlaylistKind::kNone;
    if (EqualNoCase(item.name, "playlist")) return PlaylistKind::kXspf;
    if (EqualNoCase(item.name, "asx")) return PlaylistKind::kAsx;
    return PlaylistKind::kNone;
  }
}

std::string UrlExtension(std::string_view url) {
  std::string_view path = UrlPath(url);
  std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return {};
  return AsciiLowered(path.substr(dot + 1));
}

bool IsOneOf(std::string_view value, std::initializer_list<std::string_view> options) {
  for (std::string_view option : options) {
    if (value == option) return true;
  }
  return false;
}

}  // namespace

PlaylistKind DetectPlaylist(std::string_view contentType, std::string_view url,
                            std::string_view firstBytes) {
  std::string type = AsciiLowered(TrimAsciiSpace(contentType.substr(0, contentType.find(';'))));
  const PlaylistKind sniffed = SniffBody(firstBytes);
  const bool noBody = TrimAsciiSpace(SkipUtf8Bom(firstBytes)).empty();

  // Playlist types. The body wins when it says what it is: servers mislabel.
  if (IsOneOf(type, {"audio/x-scpls", "audio/scpls", "application/pls", "application/pls+xml"})) {
    return sniffed != PlaylistKind::kNone ? sniffed : PlaylistKind::kPls;
  }
  if (IsOneOf(type, {"audio/mpegurl", "audio/x-mpegurl", "application/mpegurl",
                     "application/x-mpegurl", "application/vnd.apple.mpegurl"})) {
    if (sniffed != PlaylistKind::kNone) return sniffed;
    // No body yet: the Apple types are used for HLS, the audio ones for lists
    // of stations. A body without "#EXTM3U" is a bare list of URLs.
    if (noBody && (type == "application/vnd.apple.mpegurl" || type == "application/x-mpegurl")) {
      return PlaylistKind::kHls;
    }
    return PlaylistKind::kM3u;
  }
  if (type == "application/xspf+xml") {
    return sniffed != PlaylistKind::kNone ? sniffed : PlaylistKind::kXspf;
  }
  if (IsOneOf(type, {"video/x-ms-asx", "audio/x-ms-wax", "video/x-ms-wvx", "video/x-ms-wmx",
                     "application/x-ms-asx", "audio/x-ms-asx"})) {
    return sniffed != PlaylistKind::kNone ? sniffed : PlaylistKind::kAsx;
  }
  if (type == "video/x-ms-asf") {
    // Also the type of real ASF/WMA streams: only a body that looks like a
    // playlist (or no body yet) makes it one.
    if (sniffed != PlaylistKind::kNone) return sniffed;
    return noBody ? PlaylistKind::kAsx : PlaylistKind::kNone;
  }

  // Media types: never a playlist, whatever the URL or the first bytes say.
  if (type.starts_with("audio/") || type.starts_with("video/") ||
      IsOneOf(type, {"application/ogg", "application/x-ogg", "application/mp4",
                     "application/x-flac", "application/flac"})) {
    return PlaylistKind::kNone;
  }

  const bool generic =
      IsOneOf(type, {"", "text/plain", "application/octet-stream", "binary/octet-stream",
                     "application/x-unknown", "application/unknown"});
  if (!generic || sniffed != PlaylistKind::kNone) return sniffed;

  std::string extension = UrlExtension(url);
  if (extension == "pls") return PlaylistKind::kPls;
  if (extension == "m3u") return PlaylistKind::kM3u;
  if (extension == "m3u8") return noBody ? PlaylistKind::kHls : PlaylistKind::kM3u;
  if (extension == "xspf") return PlaylistKind::kXspf;
  if (IsOneOf(extension, {"asx", "wax", "wvx"})) return PlaylistKind::kAsx;
  if (FirstLineIsHttpUrl(firstBytes)) return PlaylistKind::kM3u;
  return PlaylistKind::kNone;
}

std::vector<std::string> ParsePlaylist(PlaylistKind kind, std::string_view body,
                                       std::string_view baseUrl) {
  body = SkipUtf8Bom(body);
  switch (kind) {
    case PlaylistKind::kPls:
      return ParsePls(body, baseUrl);
    case PlaylistKind::kM3u:
      return ParseM3u(body, baseUrl);
    case PlaylistKind::kXspf:
      return ParseXspf(body, baseUrl);
    case PlaylistKind::kAsx:
      return ParseAsx(body, baseUrl);
    case PlaylistKind::kNone:
    case PlaylistKind::kHls:
      break;
  }
  return {};
}

}  // namespace tw::engine
