// Turns the engine's tag blocks into the station name, bit rate and song title
// the window shows. Pure: tests call these with tag blocks of their own.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tw {

struct StatusSend {
  int code;
  std::string text;  // 8-bit, as received
  bool operator==(const StatusSend&) const = default;
};

// The response headers (a NUL-separated list ended by an empty string): every
// "icy-name:" gives a station name (code 3), every "icy-br:" a bit rate (code 4),
// in list order. Prefixes are matched exactly, case included.
std::vector<StatusSend> HeaderWalk(const char* headers);

// The song title from a Shoutcast metadata block: the text between
// "StreamTitle='" and the "';" that closes it (a ";" inside the title stays);
// without such an ending, up to the last quote; without quotes, the value up to
// the first ";". nullopt when the block has no "StreamTitle=".
std::optional<std::string> TitleFromMetadata(const std::string& block);

// From Ogg comments (a NUL-separated list): "artist - title" or "title", names
// matched in any case over all comments; the first of each counts.
std::string TitleFromOggComments(const char* comments);

// From an HLS #EXTINF line's content: the text after the first comma, else all.
std::string TitleFromExtinf(const std::string& extinf);

// The title sends for one update, in order: Shoutcast metadata, else Ogg
// comments; then the HLS segment title (so a Shoutcast stream inside HLS sends
// twice). A metadata block without "StreamTitle=" ends the update at once.
std::vector<std::string> TitleSends(const char* metadata, const char* ogg, const char* extinf);

}  // namespace tw
