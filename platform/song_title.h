// The song title in a station's tag blocks (song_title.cpp): what the player's
// panel shows, and what the engine marks in the audio it keeps. Pure: tests
// call these with tag blocks of their own.
#pragma once

#include <optional>
#include <string>

namespace tw {

// The song title from a Shoutcast metadata block: the text between
// "StreamTitle='" and the "';" that closes it (a ";" inside the title stays);
// without such an ending, up to the last quote; without quotes, the value up to
// the first ";". nullopt when the block has no "StreamTitle=".
std::optional<std::string> TitleFromMetadata(const std::string& block);

// From Ogg comments (a NUL-separated list ended by an empty entry): "artist -
// title" or "title", names matched in any case over all comments; the first of
// each counts.
std::string TitleFromOggComments(const char* comments);

// From an HLS #EXTINF line's content: the text after the first comma, else all.
std::string TitleFromExtinf(const std::string& extinf);

}  // namespace tw
