// Turns the engine's tag blocks into the station name, bit rate and song title
// the window shows. Pure: tests call these with tag blocks of their own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/song_title.h"

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

// The title sends for one update, in order: Shoutcast metadata, else Ogg
// comments; then the HLS segment title (so a Shoutcast stream inside HLS sends
// twice). A metadata block without "StreamTitle=" ends the update at once.
std::vector<std::string> TitleSends(const char* metadata, const char* ogg, const char* extinf);

}  // namespace tw
