// HLS playlists (RFC 8216): master playlists listing variants of a stream, and
// media playlists listing its segments. Pure: no I/O, so tests and fuzzers drive
// it directly (hls_playlist.cpp); the segment loop that fetches and reloads is
// hls_source.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::engine {

// A live radio playlist holds a few segments and a day-long archive under
// 10,000; beyond that the oldest are dropped, since playback starts near the
// end. Worst-case memory is about kMaxHlsSegments * (2 * kMaxUrlLength +
// kMaxHlsExtinfLength), whatever the input.
inline constexpr std::size_t kMaxHlsSegments = 2000;
// Variants and audio renditions past this many are ignored (first ones kept).
inline constexpr std::size_t kMaxHlsVariants = 100;
// #EXTINF text is shown as a title; longer text is cut at a UTF-8 boundary.
inline constexpr std::size_t kMaxHlsExtinfLength = 1024;
// ChooseVariant prefers the best variant at or below this BANDWIDTH (bit/s).
inline constexpr std::uint64_t kHlsPreferredMaxBandwidth = 320'000;

struct HlsVariant {
  std::string url;              // absolute
  std::uint64_t bandwidth = 0;  // BANDWIDTH in bit/s; 0 when missing or unreadable
  std::string codecs;           // CODECS as listed, e.g. "mp4a.40.2"
  std::string audioGroup;       // AUDIO: GROUP-ID of the renditions that go with it
};

// #EXT-X-MEDIA:TYPE=AUDIO with a URI (without one the audio is in the variant).
struct HlsAudioRendition {
  std::string url;  // absolute
  std::string groupId;
  std::string name;
  std::string language;
  bool isDefault = false;
};

struct HlsSegment {
  std::string url;             // absolute
  std::string extinf;          // everything after "#EXTINF:", e.g. "10.0,Live Show"
  double duration = 0;         // seconds, read from extinf; 0 when unreadable
  std::uint64_t sequence = 0;  // media sequence number
  bool discontinuity = false;  // #EXT-X-DISCONTINUITY before it: the format may change
  bool encrypted = false;      // an #EXT-X-KEY other than METHOD=NONE applies
  // The #EXT-X-MAP init segment that applies (absolute): fragmented MP4
  // segments need it in front. "" when none applies, or its URI was unusable.
  std::string mapUrl{};
};

struct HlsPlaylist {
  // Set by any #EXT-X-STREAM-INF or #EXT-X-MEDIA tag, even if no usable URI
  // followed, so that the caller does not mistake it for an empty media list.
  bool isMaster = false;
  std::vector<HlsVariant> variants;
  std::vector<HlsAudioRendition> audioRenditions;

  double targetDuration = 0;  // seconds; 0 when missing
  std::uint64_t mediaSequence = 0;
  bool endList = false;
  std::vector<HlsSegment> segments;  // possibly empty: the caller decides
};

// nullopt when the text does not start with "#EXTM3U" (after an optional UTF-8
// BOM). Relative URIs are made absolute against `baseUrl`; URIs that are not
// http(s), contain control characters or are too long are skipped (their
// segments still take up a sequence number). Tags that do not matter for audio
// playback are ignored.
std::optional<HlsPlaylist> ParseHls(std::string_view text, std::string_view baseUrl);

// Which variant to play. Radio HLS usually lists several bitrates of one audio
// stream, so: among the variants that carry audio and no video (or whose CODECS
// are unknown; failing those, audio with video; failing those, any), the one
// with the highest BANDWIDTH not above kHlsPreferredMaxBandwidth, else the one
// with the lowest. Ties go to the first listed. 0 when there are no variants.
std::size_t ChooseVariant(const HlsPlaylist& playlist);

// Index of the segment to start with: 0 for a finished (#EXT-X-ENDLIST)
// playlist; for a live one the segment that starts at least three target
// durations before the end (as RFC 8216 6.3.3 asks), or three segments from the
// end when the target duration is unknown; 0 when there are no segments.
std::size_t HlsStartIndex(const HlsPlaylist& playlist);

}  // namespace tw::engine
