// What the desktop's media controls (MPRIS) see of the player, as plain values:
// the rules for the volume a client asks for, stepping through the station list,
// and which properties changed between two looks. No Qt, no D-Bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tw {

struct MprisState {
  bool playing = false;  // a stream plays or buffers, or a connect is under way
  std::string title;     // the song title as shown
  std::string artist;    // the station name as shown
  uint64_t track = 0;    // changes with every new title or station
  int volume = 0;        // the volume bar, 0 to 100
  bool canGoNext = false;
  bool canGoPrevious = false;
  bool canPlay = false;  // the list has a station
  bool operator==(const MprisState&) const = default;
};

// The volume bar's position for an MPRIS volume: clamped to 0.0 to 1.0 and
// rounded to the bar's whole steps; nothing for NaN, which names no volume.
std::optional<int> VolumeBarPosition(double volume);

// The row `delta` steps from `current` in a list of `count` rows, or -1 past
// either end (the list does not wrap). With no row selected, Next takes the
// first row and Previous the last.
int StepRow(int current, int count, int delta);

// The names of the org.mpris.MediaPlayer2.Player properties that differ.
std::vector<std::string> ChangedPlayerProperties(const MprisState& before, const MprisState& after);

}  // namespace tw
