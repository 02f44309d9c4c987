#include "stations/directory_protocol.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "platform/text.h"

namespace tw {

namespace {

using Json = nlohmann::json;

// Real answers nest two deep (an array of flat objects); anything far deeper
// is hostile, and would only cost memory to build.
constexpr int kMaxNesting = 16;
// A bit rate above this is not a radio stream's; it reads as unknown.
constexpr int64_t kMaxBitrate = 100000;

void AppendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~';
    if (unreserved) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
}

void AppendCodePoint(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one well-formed character at text[i]; returns its length, or 0 when
// the bytes there are not one (overlong forms and surrogates included).
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t* cp) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return length;
}

bool NestsTooDeep(std::string_view json) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

const Json* Field(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string_view RawText(const Json& object, const char* key) {
  const Json* value = Field(object, key);
  if (!value || !value->is_string()) return {};
  return value->get_ref<const std::string&>();
}

std::string Text(const Json& object, const char* key) {
  return CleanDirectoryText(RawText(object, key), kMaxDirectoryTextChars);
}

// A count from a JSON number: never negative, at most max; anything else is 0.
int64_t Count(const Json& object, const char* key, int64_t max) {
  const Json* value = Field(object, key);
  if (!value) return 0;
  if (value->is_number_unsigned()) {
    const auto n = value->get<uint64_t>();
    return n > static_cast<uint64_t>(max) ? max : static_cast<int64_t>(n);
  }
  if (value->is_number_integer()) return std::clamp<int64_t>(value->get<int64_t>(), 0, max);
  if (value->is_number_float()) {
    const double d = value->get<double>();
    if (!(d > 0)) return 0;  // NaN too
    return d >= static_cast<double>(max) ? max : static_cast<int64_t>(d);
  }
  return 0;
}

}  // namespace

std::string SearchPath(const DirectoryQuery& query) {
  std::string path = "/json/stations/search?";
  const std::pair<const char*, const std::string*> words[] = {{"name", &query.name},
                                                              {"tag", &query.tag},
                                                              {"country", &query.country},
                                                              {"language", &query.language}};
  for (const auto& [key, value] : words) {
    if (value->empty()) continue;
    path += key;
    path += '=';
    AppendEscaped(path, *value);
    path += '&';
  }
  path += "limit=" + std::to_string(std::clamp(query.limit, 1, 1000));
  path += "&offset=" + std::to_string(std::max(query.offset, 0));
  path += "&order=votes&reverse=true&hidebroken=true";
  return path;
}

std::string ClickPath(std::string_view stationUuid) {
  if (stationUuid.empty() || stationUuid.size() > 64) return {};
  for (char c : stationUuid) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '-') return {};
  }
  return "/json/url/" + std::string(stationUuid);
}

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp;
    const std::size_t length = DecodeUtf8(bytes, i, &cp);
    if (length == 0) {
      AppendCodePoint(out, 0xFFFD);
      ++i;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string CleanDirectoryText(std::string_view utf8, std::size_t maxChars) {
  std::string out;
  std::size_t chars = 0;
  bool pendingBlank = false;
  for (std::size_t i = 0; i < utf8.size() && chars < maxChars;) {
    char32_t cp;
    std::size_t length = DecodeUtf8(utf8, i, &cp);
    if (length == 0) cp = 0xFFFD, length = 1;
    i += length;
    const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029;
    // Embeddings, overrides and isolates would reorder the rest of the row
    // (and of its spoken reading); plain right-to-left text needs none of them.
    const bool direction =
        (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF;
    if (direction) continue;
    if (control || cp == ' ') {
      pendingBlank = !out.empty();
      continue;
    }
    if (pendingBlank) {
      out += ' ';
      ++chars;
      pendingBlank = false;
      if (chars == maxChars) break;
    }
    AppendCodePoint(out, cp);
    ++chars;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool IsWebStreamUrl(std::string_view url) {
  if (url.size() > kMaxStreamUrlBytes) return false;
  std::string_view rest;
  if (StartsWithNoCase(url, "http://")) {
    rest = url.substr(7);
  } else if (StartsWithNoCase(url, "https://")) {
    rest = url.substr(8);
  } else {
    return false;
  }
  const std::size_t hostEnd = rest.find_first_of("/?#");
  if (rest.substr(0, hostEnd).empty()) return false;
  return std::none_of(url.begin(), url.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
  });
}

StreamChoice ChooseStreamUrl(std::string_view urlResolved, std::string_view url) {
  urlResolved = TrimAsciiSpace(urlResolved);
  url = TrimAsciiSpace(url);
  if (IsWebStreamUrl(urlResolved)) return {std::string(urlResolved), {}};
  if (IsWebStreamUrl(url)) return {std::string(url), {}};
  const std::string_view shown = urlResolved.empty() ? url : urlResolved;
  if (shown.empty()) return {{}, "no stream address"};
  if (shown.size() > kMaxStreamUrlBytes) return {{}, "the stream address is too long"};
  return {{}, "the stream address is not http or https"};
}

std::string StationKey(const FoundStation& station) {
  if (!station.uuid.empty()) return station.uuid;
  return station.name + '\n' + station.url;
}

std::string BitRateText(int bitrate) {
  return bitrate > 0 ? std::to_string(bitrate) + " kbps" : std::string();
}

std::string RowReading(const FoundStation& station) {
  std::string reading;
  for (const std::string& part :
       {station.name, station.country, station.codec, BitRateText(station.bitrate)}) {
    if (part.empty()) continue;
    if (!reading.empty()) reading += ", ";
    reading += part;
  }
  if (!station.reason.empty()) reading += ", cannot be added: " + station.reason;
  return reading;
}

DirectoryPage ParseSearchAnswer(std::string_view json) {
  DirectoryPage page;
  if (NestsTooDeep(json)) return page;
  const Json root = Json::parse(ValidUtf8(json), nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_array()) return page;
  page.valid = true;
  page.entries = root.size();
  std::unordered_set<std::string> seen;
  for (const Json& entry : root) {
    if (!entry.is_object()) continue;
    FoundStation station;
    station.uuid = std::string(RawText(entry, "stationuuid"));
    if (ClickPath(station.uuid).empty()) station.uuid.clear();
    StreamChoice choice = ChooseStreamUrl(RawText(entry, "url_resolved"), RawText(entry, "url"));
    station.url = std::move(choice.url);
    station.reason = std::move(choice.reason);
    station.name = Text(entry, "name");
    // The station file skips an empty name, and the list would show nothing.
    if (station.name.empty()) {
      station.name = station.url.empty() ? "(no name)"
                                         : CleanDirectoryText(station.url, kMaxDirectoryTextChars);
    }
    station.country = Text(entry, "country");
    station.codec = Text(entry, "codec");
    station.tags = Text(entry, "tags");
    const int64_t bitrate = Count(entry, "bitrate", kMaxBitrate + 1);
    station.bitrate = bitrate > kMaxBitrate ? 0 : static_cast<int>(bitrate);
    station.votes = Count(entry, "votes", std::numeric_limits<int64_t>::max());
    if (!seen.insert(StationKey(station)).second) continue;
    page.stations.push_back(std::move(station));
  }
  return page;
}

}  // namespace tw
