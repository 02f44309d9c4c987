// URLs as the engine fetches them: resolution against a base, the scheme
// policy, and the cleaning every playlist and HLS entry goes through. Pure.
// Implemented in urls.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tw::engine {

// Longer URLs are dropped rather than cut: a shortened URL points elsewhere.
inline constexpr std::size_t kMaxUrlLength = 4096;

// `reference` made absolute against the absolute URL `base`, as RFC 3986
// section 5 does it: a reference with a scheme is kept, "//host/x", "/x", "x",
// "../x", "?q" and "#f" are resolved. Empty when `reference` is relative and
// `base` has no scheme.
std::string ResolveUrl(std::string_view base, std::string_view reference);

// Only http:// and https:// (scheme in any case, then a host) may be fetched:
// the engine checks direct URLs, every redirect and every playlist entry, so a
// station file or a server cannot make it read file://, ftp:// and the like.
bool IsAllowedScheme(std::string_view url);

// The URL as the engine may hand it to libcurl: absolute, allowed scheme, no
// control characters, blanks and 8-bit bytes percent-encoded, not longer than
// kMaxUrlLength. Empty when the entry must be skipped. Shared with the HLS reader.
std::string CleanEntryUrl(std::string_view base, std::string_view entry);

// The path part of a URL ("/a/b.pls" in "http://h/a/b.pls?x"), for telling a
// playlist by its extension.
std::string_view UrlPath(std::string_view url);

}  // namespace tw::engine
