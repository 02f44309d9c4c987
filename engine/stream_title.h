// The song title a tag change carries (stream_title.cpp), by the rules the player's panel shows
// titles by: Shoutcast metadata's StreamTitle, Ogg comments' artist and title,
// the text after an HLS #EXTINF's comma. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw::engine {

// nullopt when the tag carries no title (other tag types, a metadata block
// without StreamTitle). `text` is the tag as the engine keeps it (Ogg comments
// as a NUL-separated list).
std::optional<std::string> TitleOfTag(uint32_t tagType, std::string_view text);

}  // namespace tw::engine
