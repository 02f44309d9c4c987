// What the three status lines of the "Currently playing" panel show for each
// status code that workers and engine callbacks send to the main window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

enum StatusCode : int {
  kStatusConnecting = 0,   // value unused
  kStatusNotPlaying = 1,   // value unused; shows the "Can't play the stream" box
  kStatusBuffering = 2,    // value: percentage done
  kStatusStationName = 3,  // value: text
  kStatusBitRate = 4,      // value: text
  kStatusTitle = 7,        // value: text
  kStatusServerLine = 8,   // value: text
  // value unused: the buffer ran dry and no connection brings audio (the
  // window's own code, sent by its monitor tick)
  kStatusReconnecting = 20,
};

// Unset lines keep their text. Texts are UTF-8.
struct StatusUpdate {
  std::optional<std::string> title;   // Label3
  std::optional<std::string> state;   // Label4
  std::optional<std::string> bottom;  // Label5
  bool showPlayError = false;
};

// value is a number or a pointer to NUL-terminated 8-bit text, by code; unknown
// codes change nothing.
StatusUpdate StatusUpdateFor(int code, intptr_t value);

// The middle line for a station name: everything before the blank that precedes
// the first "Import" (some stations append "Import ..." to their names), else the
// whole name.
std::string StationNameText(std::string_view name);

std::string BufferingText(int32_t percent);

// The monitor tick's reading while the stream does not play: "reconnecting..."
// when it has stalled (BASS_ChannelIsActive) and its connection brings no
// audio (BASS_FILEPOS_CONNECTED), rather than a buffering percentage that
// would stand still at 0 for as long as the network is gone.
bool IsReconnecting(uint32_t active, uint64_t connected);

// The monitor tick's buffering reading (the stream's buffering file position):
// shown unless it is 0 or the engine's error value (all ones).
inline bool IsShownBufferingReading(uint64_t reading) { return static_cast<int64_t>(reading) > 0; }
// The percentage done for a reading: 100 minus its low 32 bits.
int32_t BufferingPercent(uint64_t reading);

}  // namespace tw
