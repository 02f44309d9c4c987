// Playlist detection and parsing on arbitrary bodies: every URL that comes out
// must be one the engine may fetch, and the caps must hold.
// Input: content-type byte, URL byte, base byte, then the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/playlists.h"

namespace {

using namespace tw::engine;

constexpr std::string_view kTypes[] = {"",
                                       "text/plain",
                                       "application/octet-stream",
                                       "audio/mpeg",
                                       "audio/x-scpls",
                                       "audio/x-mpegurl",
                                       "application/vnd.apple.mpegurl",
                                       "application/xspf+xml",
                                       "video/x-ms-asf",
                                       "video/x-ms-asx",
                                       "text/html",
                                       "application/ogg",
                                       "Audio/X-SCPLS; x=y",
                                       ";",
                                       " audio/ "};
constexpr std::string_view kUrls[] = {"",
                                      "http://h/x.pls",
                                      "http://h/x.m3u?y",
                                      "http://h/x.m3u8#f",
                                      "http://h/x.xspf",
                                      "http://h/x.asx",
                                      "http://h/",
                                      "x",
                                      ".",
                                      "http://h/.",
                                      "http://h/x.PLS/"};
constexpr std::string_view kBases[] = {"http://radio.example/dir/list.pls",
                                       "https://h",
                                       "",
                                       "http://a/b/c/d;p?q",
                                       "file:///etc/list.m3u",
                                       "http://h:8000",
                                       "x/y",
                                       "http://h/a/../../b/./c/"};

template <std::size_t N>
std::string_view Pick(const std::string_view (&table)[N], std::uint8_t byte) {
  return table[byte % N];
}

void CheckUrls(const std::vector<std::string>& urls, std::string_view base) {
  if (urls.size() > kMaxPlaylistEntries) __builtin_trap();
  for (const std::string& url : urls) {
    if (url.empty() || url.size() > kMaxUrlLength || !IsAllowedScheme(url)) __builtin_trap();
    for (char c : url) {
      auto byte = static_cast<unsigned char>(c);
      if (byte <= 0x20 || byte >= 0x7F) __builtin_trap();
    }
    // Already clean and absolute: cleaning again changes nothing.
    if (CleanEntryUrl(base, url) != url) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::string_view type = Pick(kTypes, data[0]);
  const std::string_view url = Pick(kUrls, data[1]);
  const std::string_view base = Pick(kBases, data[2]);
  const std::string_view body(reinterpret_cast<const char*>(data + 3), size - 3);

  PlaylistKind detected = DetectPlaylist(type, url, body);
  if (detected < PlaylistKind::kNone || detected > PlaylistKind::kHls) __builtin_trap();
  // The body as a URL too, for DetectPlaylist's extension logic.
  (void)DetectPlaylist(type, body, body);

  for (PlaylistKind kind :
       {PlaylistKind::kPls, PlaylistKind::kM3u, PlaylistKind::kXspf, PlaylistKind::kAsx}) {
    CheckUrls(ParsePlaylist(kind, body, base), base);
  }
  if (!ParsePlaylist(PlaylistKind::kHls, body, base).empty()) __builtin_trap();

  // ResolveUrl with an arbitrary base: the first line against the second.
  std::string_view first = body.substr(0, body.find('\n'));
  std::string_view second =
      first.size() < body.size() ? body.substr(first.size() + 1) : std::string_view();
  std::string resolved = ResolveUrl(first, second);
  if (IsAllowedScheme(resolved) && resolved.size() > first.size() + second.size() + 1) {
    __builtin_trap();  // resolution only ever combines pieces of its inputs
  }
  return 0;
}
