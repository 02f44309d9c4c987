#include "app/mpris_state.h"

#include <cmath>

namespace tw {

std::optional<int> VolumeBarPosition(double volume) {
  if (std::isnan(volume)) return std::nullopt;
  if (volume <= 0) return 0;
  if (volume >= 1) return 100;
  return static_cast<int>(std::lround(volume * 100));
}

int StepRow(int current, int count, int delta) {
  if (count <= 0) return -1;
  if (current < 0 || current >= count) return delta > 0 ? 0 : count - 1;
  const int row = current + delta;
  return row >= 0 && row < count ? row : -1;
}

std::vector<std::string> ChangedPlayerProperties(const MprisState& before,
                                                 const MprisState& after) {
  std::vector<std::string> changed;
  if (before.playing != after.playing) changed.push_back("PlaybackStatus");
  if (before.playing != after.playing || before.title != after.title ||
      before.artist != after.artist || before.track != after.track) {
    changed.push_back("Metadata");
  }
  if (before.volume != after.volume) changed.push_back("Volume");
  if (before.canGoNext != after.canGoNext) changed.push_back("CanGoNext");
  if (before.canGoPrevious != after.canGoPrevious) changed.push_back("CanGoPrevious");
  if (before.canPlay != after.canPlay) {
    changed.push_back("CanPlay");
    changed.push_back("CanPause");
  }
  return changed;
}

}  // namespace tw
