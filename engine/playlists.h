// Station playlists (PLS, M3U, XSPF, ASX): telling a playlist from a stream, and
// turning one into the stream URLs it lists. HLS playlists are only recognised
// here; hls_playlist.h reads them. Pure: no I/O, so tests and fuzzers drive it
// directly. Implemented in playlists.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/urls.h"

namespace tw::engine {

enum class PlaylistKind { kNone, kPls, kM3u, kXspf, kAsx, kHls };

// Playlists and HLS playlists are read whole, up to this size.
inline constexpr std::size_t kMaxPlaylistBytes = 1024 * 1024;
// A station playlist lists a handful of mirrors; more than this is junk or an
// attack, and the engine tries entries one by one, so the rest are dropped.
inline constexpr std::size_t kMaxPlaylistEntries = 100;

// Decides from the response's Content-Type (parameters and case ignored), the
// URL that was requested and the first bytes of the body (as many as have
// arrived; a few kilobytes are plenty) whether the response is a playlist.
// - An audio or other media type is never a playlist, whatever the URL says.
// - A playlist type names the kind, except that the body decides between M3U and
//   HLS (servers label both with every mpegurl type), and video/x-ms-asf, which
//   is also the type of real ASF streams, needs a body that looks like ASX.
// - A generic type (none, text/plain, application/octet-stream) goes by the body,
//   then by the URL's extension (.pls .m3u .m3u8 .xspf .asx .wax .wvx); a body
//   whose first line is an http(s) URL is a bare M3U.
// - Any other type goes by the body alone.
PlaylistKind DetectPlaylist(std::string_view contentType, std::string_view url,
                            std::string_view firstBytes);

// The stream URLs a PLS, M3U, XSPF or ASX playlist lists, in order, made absolute
// against `baseUrl` (the playlist's own URL, after redirects). Entries that are
// not http(s), cannot be made absolute, contain control characters or are longer
// than kMaxUrlLength are skipped; at most kMaxPlaylistEntries are returned. Blanks
// and bytes above 0x7f inside a URL are percent-encoded. kNone and kHls give
// nothing (HLS goes to ParseHls).
std::vector<std::string> ParsePlaylist(PlaylistKind kind, std::string_view body,
                                       std::string_view baseUrl);

}  // namespace tw::engine
