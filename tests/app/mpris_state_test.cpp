#include "app/mpris_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tw {
namespace {

// Catches a client's volume landing outside the bar, NaN taken for a volume,
// and rounding that moves the bar away from what was asked.
TEST(MprisState, VolumeToBar) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct {
    double volume;
    std::optional<int> bar;
  } cases[] = {{0.3, 30},   {0.295, 30}, {0.004, 0}, {1.0, 100},         {-5, 0},
               {1e30, 100}, {-inf, 0},   {inf, 100}, {nan, std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(VolumeBarPosition(c.volume), c.bar) << c.volume;
}

// Catches Next and Previous running off the list or wrapping around, and a
// list without a selection that cannot be stepped into.
TEST(MprisState, StepThroughTheList) {
  struct {
    int current, count, delta, row;
  } cases[] = {
      {0, 3, +1, 1},  {2, 3, +1, -1}, {0, 3, -1, -1}, {2, 3, -1, 1},
      {-1, 3, +1, 0}, {-1, 3, -1, 2}, {0, 0, +1, -1}, {-1, 0, -1, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StepRow(c.current, c.count, c.delta), c.row)
        << c.current << " of " << c.count << " by " << c.delta;
  }
}

// Catches a change that is never announced (a sound menu showing an old song)
// and announcements of what did not change.
TEST(MprisState, ChangedProperties) {
  MprisState stopped;
  stopped.volume = 48;
  stopped.canPlay = true;
  stopped.canGoNext = true;
  MprisState playing = stopped;
  playing.playing = true;
  playing.artist = "Station";
  EXPECT_EQ(ChangedPlayerProperties(stopped, playing),
            (std::vector<std::string>{"PlaybackStatus", "Metadata"}));
  MprisState newSong = playing;
  newSong.title = "Song";
  newSong.track = 2;
  EXPECT_EQ(ChangedPlayerProperties(playing, newSong), (std::vector<std::string>{"Metadata"}));
  MprisState louder = newSong;
  louder.volume = 30;
  louder.canGoNext = false;
  louder.canGoPrevious = true;
  EXPECT_EQ(ChangedPlayerProperties(newSong, louder),
            (std::vector<std::string>{"Volume", "CanGoNext", "CanGoPrevious"}));
  EXPECT_TRUE(ChangedPlayerProperties(louder, louder).empty());
}

}  // namespace
}  // namespace tw
