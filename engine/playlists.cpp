#include "engine/playlists.h"

#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>

#include "engine/ascii.h"

namespace tw::engine {
namespace {

using ascii::EqualsNoCase;
using ascii::ForEachLine;
using ascii::IsAlpha;
using ascii::IsBlank;
using ascii::IsDigit;
using ascii::Lowered;
using ascii::SkipBom;
using ascii::StartsWithNoCase;
using ascii::Trim;

// --- URLs --------------------------------------------------------------------------

// Length of the scheme when `s` starts with one ("http" in "http://x"): a letter,
// then letters, digits, '+', '-' or '.', then ':'.
std::optional<std::size_t> SchemeLength(std::string_view s) {
  if (s.empty() || !IsAlpha(s[0])) return std::nullopt;
  std::size_t i = 1;
  while (i < s.size() &&
         (IsAlpha(s[i]) || IsDigit(s[i]) || s[i] == '+' || s[i] == '-' || s[i] == '.')) {
    ++i;
  }
  if (i < s.size() && s[i] == ':') return i;
  return std::nullopt;
}

struct UrlParts {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  std::string_view path;
  std::optional<std::string_view> query;
  std::optional<std::string_view> fragment;
};

UrlParts SplitUrl(std::string_view s) {
  UrlParts p;
  if (auto n = SchemeLength(s)) {
    p.scheme = s.substr(0, *n);
    s.remove_prefix(*n + 1);
  }
  if (s.starts_with("//")) {
    s.remove_prefix(2);
    std::size_t end = s.find_first_of("/?#");
    p.authority = s.substr(0, end);
    s = end == std::string_view::npos ? std::string_view() : s.substr(end);
  }
  if (std::size_t hash = s.find('#'); hash != std::string_view::npos) {
    p.fragment = s.substr(hash + 1);
    s = s.substr(0, hash);
  }
  if (std::size_t question = s.find('?'); question != std::string_view::npos) {
    p.query = s.substr(question + 1);
    s = s.substr(0, question);
  }
  p.path = s;
  return p;
}

// RFC 3986 5.2.4. Each input byte is moved or dropped once and each dropped
// output segment was added once, so this stays linear on "../../../..." floods.
std::string RemoveDotSegments(std::string_view in) {
  static constexpr std::string_view kSlash = "/";
  std::string out;
  out.reserve(in.size());
  auto pop_segment = [&out] {
    std::size_t slash = out.rfind('/');
    out.resize(slash == std::string::npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.remove_prefix(3);
    } else if (in.starts_with("./")) {
      in.remove_prefix(2);
    } else if (in.starts_with("/./")) {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = kSlash;
    } else if (in.starts_with("/../")) {
      in.remove_prefix(3);
      pop_segment();
    } else if (in == "/..") {
      in = kSlash;
      pop_segment();
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      std::size_t end = in.find('/', 1);
      if (end == std::string_view::npos) end = in.size();
      out.append(in.substr(0, end));
      in.remove_prefix(end);
    }
  }
  return out;
}

std::string JoinUrl(std::string_view scheme, std::optional<std::string_view> authority,
                    std::string_view path, std::optional<std::string_view> query,
                    std::optional<std::string_view> fragment) {
  std::string out;
  out.reserve(scheme.size() + path.size() + 8 + (authority ? authority->size() : 0) +
              (query ? query->size() : 0) + (fragment ? fragment->size() : 0));
  out.append(scheme).push_back(':');
  if (authority) out.append("//").append(*authority);
  out.append(path);
  if (query) out.append("?").append(*query);
  if (fragment) out.append("#").append(*fragment);
  return out;
}

// --- A forgiving XML reader for XSPF and ASX ---------------------------------------
// Station playlists are often hand-written and not well-formed (a bare '&' in a
// URL, upper-case ASX tags), so this reads tags and text without validating.

struct XmlItem {
  enum class Kind { kEnd, kStartTag, kEndTag, kText, kCdata };
  Kind kind = Kind::kEnd;
  std::string_view name;   // tags: local name, any "prefix:" removed
  std::string_view attrs;  // start tags: what follows the name
  std::string_view text;   // text (entities not yet decoded) and CDATA
  bool self_closing = false;
};

class XmlReader {
 public:
  explicit XmlReader(std::string_view s) : rest_(s) {}

  XmlItem Next() {
    while (!rest_.empty()) {
      XmlItem item;
      if (rest_.front() != '<') {
        std::size_t end = rest_.find('<');
        item.kind = XmlItem::Kind::kText;
        item.text = rest_.substr(0, end);
        rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end);
        return item;
      }
      if (rest_.starts_with("<!--")) {
        if (!Skip(rest_.find("-->", 4), 3)) break;
        continue;
      }
      if (rest_.starts_with("<![CDATA[")) {
        std::size_t end = rest_.find("]]>", 9);
        if (end == std::string_view::npos) break;
        item.kind = XmlItem::Kind::kCdata;
        item.text = rest_.substr(9, end - 9);
        rest_.remove_prefix(end + 3);
        return item;
      }
      if (rest_.starts_with("<!") || rest_.starts_with("<?")) {
        if (!Skip(rest_.find('>'), 1)) break;
        continue;
      }
      // A tag: the first '>' outside quotes ends it.
      std::size_t i = 1;
      char quote = 0;
      for (; i < rest_.size(); ++i) {
        char c = rest_[i];
        if (quote != 0) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      if (i == rest_.size()) break;
      std::string_view inner = rest_.substr(1, i - 1);
      rest_.remove_prefix(i + 1);
      item.kind = XmlItem::Kind::kStartTag;
      if (inner.starts_with("/")) {
        item.kind = XmlItem::Kind::kEndTag;
        inner.remove_prefix(1);
      }
      if (inner.ends_with("/")) {
        item.self_closing = true;
        inner.remove_suffix(1);
      }
      std::size_t name_end = 0;
      while (name_end < inner.size() && !IsBlank(inner[name_end]) && inner[name_end] != '/') {
        ++name_end;
      }
      item.name = inner.substr(0, name_end);
      if (std::size_t colon = item.name.rfind(':'); colon != std::string_view::npos) {
        item.name.remove_prefix(colon + 1);
      }
      item.attrs = inner.substr(name_end);
      return item;
    }
    rest_ = {};
    return {};
  }

 private:
  bool Skip(std::size_t found, std::size_t terminator_length) {
    if (found == std::string_view::npos) return false;
    rest_.remove_prefix(found + terminator_length);
    return true;
  }

  std::string_view rest_;
};

// The raw value of attribute `name` (any case) in a start tag's attribute text.
// Values may be in double quotes, single quotes or none.
std::optional<std::string_view> FindAttribute(std::string_view attrs, std::string_view name) {
  std::size_t i = 0;
  const std::size_t n = attrs.size();
  while (i < n) {
    while (i < n && (IsBlank(attrs[i]) || attrs[i] == '/')) ++i;
    std::size_t name_start = i;
    while (i < n && !IsBlank(attrs[i]) && attrs[i] != '=' && attrs[i] != '/') ++i;
    std::string_view attr_name = attrs.substr(name_start, i - name_start);
    while (i < n && IsBlank(attrs[i])) ++i;
    std::string_view value;
    if (i < n && attrs[i] == '=') {
      ++i;
      while (i < n && IsBlank(attrs[i])) ++i;
      if (i < n && (attrs[i] == '"' || attrs[i] == '\'')) {
        char quote = attrs[i++];
        std::size_t end = attrs.find(quote, i);
        if (end == std::string_view::npos) end = n;
        value = attrs.substr(i, end - i);
        i = end == n ? n : end + 1;
      } else {
        std::size_t start = i;
        while (i < n && !IsBlank(attrs[i])) ++i;
        value = attrs.substr(start, i - start);
      }
    } else if (attr_name.empty() && i < n) {
      ++i;  // stray character; move on so the loop always advances
    }
    if (!attr_name.empty() && EqualsNoCase(attr_name, name)) return value;
  }
  return std::nullopt;
}

void AppendUtf8(std::uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The character an entity body ("amp", "#38", "#x26") stands for, UTF-8 encoded.
std::optional<std::string> DecodeEntity(std::string_view body) {
  if (body == "amp") return "&";
  if (body == "lt") return "<";
  if (body == "gt") return ">";
  if (body == "quot") return "\"";
  if (body == "apos") return "'";
  if (body.size() < 2 || body[0] != '#') return std::nullopt;
  body.remove_prefix(1);
  int base = 10;
  if (body[0] == 'x' || body[0] == 'X') {
    base = 16;
    body.remove_prefix(1);
  }
  std::uint32_t cp = 0;
  const char* end = body.data() + body.size();
  auto [ptr, ec] = std::from_chars(body.data(), end, cp, base);
  if (body.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  std::string out;
  AppendUtf8(cp, &out);
  return out;
}

// Appends `text` with XML entities decoded; an unknown or broken entity stays
// as written. Never longer than `text`.
void AppendDecoded(std::string_view text, std::string* out) {
  // "#x10FFFF" is the longest body worth decoding; looking further for the ';'
  // would let a flood of '&' cost quadratic time.
  constexpr std::size_t kLongestEntity = 10;
  while (!text.empty()) {
    std::size_t amp = text.find('&');
    out->append(text.substr(0, amp));
    if (amp == std::string_view::npos) return;
    text.remove_prefix(amp);
    std::size_t semi = text.substr(0, kLongestEntity + 2).find(';');
    std::optional<std::string> decoded;
    if (semi != std::string_view::npos) decoded = DecodeEntity(text.substr(1, semi - 1));
    if (decoded) {
      out->append(*decoded);
      text.remove_prefix(semi + 1);
    } else {
      out->push_back('&');
      text.remove_prefix(1);
    }
  }
}

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
  std::map<std::uint64_t, std::string> by_number;
  ForEachLine(body, [&](std::string_view line) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return true;
    std::string_view key = Trim(line.substr(0, eq));
    if (key.size() <= 4 || !StartsWithNoCase(key, "file")) return true;
    std::string_view digits = key.substr(4);
    std::uint64_t number = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, number);
    if (!IsDigit(digits[0]) || ec != std::errc() || ptr != end) return true;
    if (by_number.contains(number)) return true;  // the first FileN wins
    if (by_number.size() >= kMaxPlaylistEntries && number > by_number.rbegin()->first) {
      return true;
    }
    std::string url = CleanEntryUrl(base, Trim(line.substr(eq + 1)));
    if (url.empty()) return true;
    by_number.emplace(number, std::move(url));
    if (by_number.size() > kMaxPlaylistEntries) by_number.erase(std::prev(by_number.end()));
    return true;
  });
  std::vector<std::string> urls;
  urls.reserve(by_number.size());
  for (auto& [number, url] : by_number) urls.push_back(std::move(url));
  return urls;
}

std::vector<std::string> ParseM3u(std::string_view body, std::string_view base) {
  EntryList entries(base);
  ForEachLine(body, [&](std::string_view line) {
    line = Trim(line);
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
  int track_depth = 0;
  bool in_location = false;
  bool too_long = false;
  std::string location;
  while (!entries.full()) {
    XmlItem item = reader.Next();
    if (item.kind == XmlItem::Kind::kEnd) break;
    switch (item.kind) {
      case XmlItem::Kind::kStartTag:
        if (item.self_closing) break;
        if (EqualsNoCase(item.name, "track")) {
          ++track_depth;
        } else if (track_depth > 0 && EqualsNoCase(item.name, "location")) {
          in_location = true;
          too_long = false;
          location.clear();
        }
        break;
      case XmlItem::Kind::kEndTag:
        if (EqualsNoCase(item.name, "track")) {
          if (track_depth > 0) --track_depth;
          in_location = false;
        } else if (in_location && EqualsNoCase(item.name, "location")) {
          if (!too_long) entries.Add(Trim(location));
          in_location = false;
        }
        break;
      case XmlItem::Kind::kText:
      case XmlItem::Kind::kCdata:
        if (!in_location || too_long) break;
        if (location.size() + item.text.size() > kLongestLocation) {
          too_long = true;
        } else if (item.kind == XmlItem::Kind::kText) {
          AppendDecoded(item.text, &location);
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
    if (item.kind != XmlItem::Kind::kStartTag || !EqualsNoCase(item.name, "ref")) continue;
    std::optional<std::string_view> href = FindAttribute(item.attrs, "href");
    if (!href || href->size() > kMaxUrlLength * 4) continue;
    std::string decoded;
    AppendDecoded(*href, &decoded);
    entries.Add(Trim(decoded));
  }
  return entries.Take();
}

// --- Detection ----------------------------------------------------------------------

bool HasHlsTag(std::string_view text) {
  bool found = false;
  ForEachLine(text, [&](std::string_view line) {
    found = Trim(line).starts_with("#EXT-X-");
    return !found;
  });
  return found;
}

bool FirstLineIsHttpUrl(std::string_view text) {
  bool is_url = false;
  ForEachLine(text, [&](std::string_view line) {
    line = Trim(line);
    if (line.empty()) return true;
    is_url = StartsWithNoCase(line, "http://") || StartsWithNoCase(line, "https://");
    return false;
  });
  return is_url;
}

// What the body says it is, kNone when it does not say.
PlaylistKind SniffBody(std::string_view first_bytes) {
  std::string_view text = Trim(SkipBom(first_bytes));
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
    if (item.kind == XmlItem::Kind::kText && Trim(item.text).empty()) continue;
    if (item.kind != XmlItem::Kind::kStartTag) return PlaylistKind::kNone;
    if (EqualsNoCase(item.name, "playlist")) return PlaylistKind::kXspf;
    if (EqualsNoCase(item.name, "asx")) return PlaylistKind::kAsx;
    return PlaylistKind::kNone;
  }
}

std::string UrlExtension(std::string_view url) {
  std::string_view path = SplitUrl(url).path;
  std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return {};
  return Lowered(path.substr(dot + 1));
}

bool IsOneOf(std::string_view value, std::initializer_list<std::string_view> options) {
  for (std::string_view option : options) {
    if (value == option) return true;
  }
  return false;
}

}  // namespace

PlaylistKind DetectPlaylist(std::string_view content_type, std::string_view url,
                            std::string_view first_bytes) {
  std::string type = Lowered(Trim(content_type.substr(0, content_type.find(';'))));
  const PlaylistKind sniffed = SniffBody(first_bytes);
  const bool no_body = Trim(SkipBom(first_bytes)).empty();

  // Playlist types. The body wins when it says what it is: servers mislabel.
  if (IsOneOf(type, {"audio/x-scpls", "audio/scpls", "application/pls", "application/pls+xml"})) {
    return sniffed != PlaylistKind::kNone ? sniffed : PlaylistKind::kPls;
  }
  if (IsOneOf(type, {"audio/mpegurl", "audio/x-mpegurl", "application/mpegurl",
                     "application/x-mpegurl", "application/vnd.apple.mpegurl"})) {
    if (sniffed != PlaylistKind::kNone) return sniffed;
    // No body yet: the Apple types are used for HLS, the audio ones for lists
    // of stations. A body without "#EXTM3U" is a bare list of URLs.
    if (no_body && (type == "application/vnd.apple.mpegurl" || type == "application/x-mpegurl")) {
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
    return no_body ? PlaylistKind::kAsx : PlaylistKind::kNone;
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
  if (extension == "m3u8") return no_body ? PlaylistKind::kHls : PlaylistKind::kM3u;
  if (extension == "xspf") return PlaylistKind::kXspf;
  if (IsOneOf(extension, {"asx", "wax", "wvx"})) return PlaylistKind::kAsx;
  if (FirstLineIsHttpUrl(first_bytes)) return PlaylistKind::kM3u;
  return PlaylistKind::kNone;
}

std::vector<std::string> ParsePlaylist(PlaylistKind kind, std::string_view body,
                                       std::string_view base_url) {
  body = SkipBom(body);
  switch (kind) {
    case PlaylistKind::kPls:
      return ParsePls(body, base_url);
    case PlaylistKind::kM3u:
      return ParseM3u(body, base_url);
    case PlaylistKind::kXspf:
      return ParseXspf(body, base_url);
    case PlaylistKind::kAsx:
      return ParseAsx(body, base_url);
    case PlaylistKind::kNone:
    case PlaylistKind::kHls:
      break;
  }
  return {};
}

std::string ResolveUrl(std::string_view base, std::string_view reference) {
  UrlParts ref = SplitUrl(reference);
  if (ref.scheme) {
    return JoinUrl(*ref.scheme, ref.authority, RemoveDotSegments(ref.path), ref.query,
                   ref.fragment);
  }
  UrlParts b = SplitUrl(base);
  if (!b.scheme) return {};
  if (ref.authority) {
    return JoinUrl(*b.scheme, ref.authority, RemoveDotSegments(ref.path), ref.query, ref.fragment);
  }
  if (ref.path.empty()) {
    // RFC 3986 keeps the base path as it is here; normalising it too (which it
    // allows) gives "?q" entries the same form as every other entry.
    return JoinUrl(*b.scheme, b.authority, RemoveDotSegments(b.path),
                   ref.query ? ref.query : b.query, ref.fragment);
  }
  if (ref.path.front() == '/') {
    return JoinUrl(*b.scheme, b.authority, RemoveDotSegments(ref.path), ref.query, ref.fragment);
  }
  std::string merged;
  if (b.authority && b.path.empty()) {
    merged = "/";
  } else {
    std::size_t slash = b.path.rfind('/');
    if (slash != std::string_view::npos) merged = b.path.substr(0, slash + 1);
  }
  merged.append(ref.path);
  return JoinUrl(*b.scheme, b.authority, RemoveDotSegments(merged), ref.query, ref.fragment);
}

bool IsAllowedScheme(std::string_view url) {
  std::optional<std::size_t> length = SchemeLength(url);
  if (!length) return false;
  std::string_view scheme = url.substr(0, *length);
  if (!EqualsNoCase(scheme, "http") && !EqualsNoCase(scheme, "https")) return false;
  std::string_view rest = url.substr(*length + 1);
  // "http:foo" and "http:///x" name no host; libcurl would guess one.
  return rest.size() > 2 && rest.starts_with("//") && rest.find_first_of("/?#", 2) != 2;
}

std::string CleanEntryUrl(std::string_view base, std::string_view entry) {
  entry = Trim(entry);
  if (entry.empty() || entry.size() > kMaxUrlLength) return {};
  std::string resolved = ResolveUrl(base, entry);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(resolved.size());
  for (char c : resolved) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return {};
    if (byte == ' ' || byte >= 0x80) {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
    if (out.size() > kMaxUrlLength) return {};
  }
  if (!IsAllowedScheme(out)) return {};
  return out;
}

}  // namespace tw::engine
