// The HLS parser on arbitrary text: caps, URL safety and the helpers' index
// ranges must hold whatever the playlist says.
// Input: one byte (base URL; high bit prepends "#EXTM3U\n"), then the text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "engine/hls_playlist.h"
#include "engine/playlists.h"

namespace {

using namespace tw::engine;

constexpr std::string_view kBases[] = {"https://radio.example/live/index.m3u8",
                                       "http://h",
                                       "",
                                       "http://a/b/c/d;p?q",
                                       "file:///x/y.m3u8",
                                       "x"};

void CheckUrl(const std::string& url) {
  if (url.empty() || url.size() > kMaxUrlLength || !IsAllowedScheme(url)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view base = kBases[(data[0] & 0x7F) % std::size(kBases)];
  std::string text;
  if (data[0] & 0x80) text = "#EXTM3U\n";
  text.append(reinterpret_cast<const char*>(data + 1), size - 1);

  std::optional<HlsPlaylist> playlist = ParseHls(text, base);
  std::string_view unmarked = text;
  if (unmarked.starts_with("\xEF\xBB\xBF")) unmarked.remove_prefix(3);
  if (playlist.has_value() != unmarked.starts_with("#EXTM3U")) __builtin_trap();
  if (!playlist) return 0;

  const HlsPlaylist& p = *playlist;
  if (p.segments.size() > kMaxHlsSegments || p.variants.size() > kMaxHlsVariants ||
      p.audioRenditions.size() > kMaxHlsVariants) {
    __builtin_trap();
  }
  if (!std::isfinite(p.targetDuration) || p.targetDuration < 0) __builtin_trap();
  for (std::size_t i = 0; i < p.segments.size(); ++i) {
    const HlsSegment& s = p.segments[i];
    CheckUrl(s.url);
    if (s.extinf.size() > kMaxHlsExtinfLength) __builtin_trap();
    if (!std::isfinite(s.duration) || s.duration < 0) __builtin_trap();
    if (i > 0 && s.sequence == p.segments[i - 1].sequence) __builtin_trap();
  }
  for (const HlsVariant& v : p.variants) CheckUrl(v.url);
  for (const HlsAudioRendition& r : p.audioRenditions) CheckUrl(r.url);
  if (!p.variants.empty() && !p.isMaster) __builtin_trap();

  std::size_t chosen = ChooseVariant(p);
  if (p.variants.empty() ? chosen != 0 : chosen >= p.variants.size()) __builtin_trap();
  std::size_t start = HlsStartIndex(p);
  if (p.segments.empty() ? start != 0 : start >= p.segments.size()) __builtin_trap();
  if (p.endList && start != 0) __builtin_trap();
  return 0;
}
