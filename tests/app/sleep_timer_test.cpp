// The sleep timer's rules on an injected clock: minutes pass in microseconds.
#include "app/sleep_timer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tw {
namespace {

// Catches a timer that stops early or late, stops without fading, fades
// without stopping, leaves the sound silent after its stop (the next station
// would play mute), stops after a Cancel (Off, Stop, a new station), or ends
// "at the end of this song" before the next title comes.
TEST(SleepTimer, FadesThenStopsUnlessCancelled) {
  enum What { Start15, Start30, SongEnd, Title, Cancel, Tick };
  struct Step {
    int64_t at;
    What what;
  };
  struct {
    const char* what;
    std::vector<Step> steps;
    const char* log;  // levels set and stops, in order
  } cases[] = {
      {"15 minutes",
       {{0, Start15},
        {899'999, Tick},
        {900'000, Tick},
        {905'000, Tick},
        {909'900, Tick},
        {910'000, Tick},
        {920'000, Tick}},
       "1.00 0.50 0.01 0.00 stop 1.00 "},
      {"a late wake-up fades from where it should be by then",
       {{0, Start15}, {907'500, Tick}, {1'000'000, Tick}},
       "0.25 0.00 stop 1.00 "},
      {"cancelled while it counts down",
       {{0, Start15}, {600'000, Cancel}, {900'000, Tick}, {910'000, Tick}},
       ""},
      {"cancelled while it fades: the sound is back at once",
       {{0, Start15}, {905'000, Tick}, {906'000, Cancel}, {910'000, Tick}},
       "0.50 1.00 "},
      {"a new setting replaces the old one",
       {{0, Start15}, {600'000, Start30}, {910'000, Tick}, {2'400'000, Tick}, {2'410'000, Tick}},
       "1.00 0.00 stop 1.00 "},
      {"at the end of this song",
       {{0, SongEnd},
        {36'000'000, Tick},
        {36'000'001, Title},
        {36'005'001, Tick},
        {36'010'001, Tick}},
       "0.50 0.00 stop 1.00 "},
      {"at the end of this song, cancelled",
       {{0, SongEnd}, {1000, Cancel}, {2000, Title}, {20'000, Tick}},
       ""},
      {"a title while counting minutes changes nothing",
       {{0, Start15}, {1000, Title}, {20'000, Tick}, {900'000, Tick}, {910'000, Tick}},
       "1.00 0.00 stop 1.00 "},
  };
  for (const auto& c : cases) {
    std::string log;
    SleepTimer timer({[&](double level) {
                        char text[16];
                        std::snprintf(text, sizeof text, "%.2f ", level);
                        log += text;
                      },
                      [&] { log += "stop "; }});
    for (const Step& step : c.steps) {
      switch (step.what) {
        case Start15:
          timer.Start(15, step.at);
          break;
        case Start30:
          timer.Start(30, step.at);
          break;
        case SongEnd:
          timer.StartAtSongEnd();
          break;
        case Title:
          timer.TitleChanged(step.at);
          break;
        case Cancel:
          timer.Cancel();
          break;
        case Tick:
          timer.Tick(step.at);
          break;
      }
    }
    EXPECT_EQ(log, c.log) << c.what;
    EXPECT_EQ(timer.mode(), SleepTimer::Mode::Off) << c.what;
  }
}

// Catches a menu that shows the minutes left wrongly (rounded down, so that
// "0 minutes" shows while a minute is left) and a shell that is never woken
// for the fade or wakes while only counting down.
TEST(SleepTimer, MinutesLeftAndWakeUps) {
  SleepTimer timer({[](double) {}, [] {}});
  EXPECT_EQ(timer.NextTickMs(0), -1);
  timer.Start(15, 1000);
  struct {
    int64_t now;
    int left;
  } cases[] = {{1000, 15}, {1001, 15}, {61'000, 14}, {61'001, 14}, {900'999, 1}, {901'000, 0}};
  for (const auto& c : cases) EXPECT_EQ(timer.MinutesLeft(c.now), c.left) << c.now;
  EXPECT_EQ(timer.NextTickMs(5000), 901'000);
  timer.Tick(901'000);
  EXPECT_EQ(timer.NextTickMs(901'000), 901'000 + SleepTimer::kFadeStepMs);
  EXPECT_EQ(timer.NextTickMs(910'950), 911'000);
  timer.Tick(911'000);
  EXPECT_EQ(timer.NextTickMs(911'000), -1);
}

}  // namespace
}  // namespace tw
