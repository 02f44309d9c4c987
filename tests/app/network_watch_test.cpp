// The player's watch on the network and on sleep.
#include "app/network_watch.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

// Catches a wake-up (logind's signal) that does not make the engine reconnect,
// a going-to-sleep that does, a clock check that fires without a sleep, and a
// network state that reconnects on anything but its return.
TEST(NetworkWatch, WakeUpsAndTheNetworksReturnReconnect) {
  int reconnects = 0;
  NetworkWatch watch(nullptr, [&] { ++reconnects; });
  watch.OnPrepareForSleep(true);
  EXPECT_EQ(reconnects, 0);
  watch.OnPrepareForSleep(false);
  EXPECT_EQ(reconnects, 1);
  watch.SetPlaying(true);
  watch.CheckClocks();  // no sleep since the last look
  EXPECT_EQ(reconnects, 1);

  struct {
    bool was, now, back;
  } cases[] = {
      {false, true, true}, {true, true, false}, {true, false, false}, {false, false, false}};
  for (const auto& c : cases) EXPECT_EQ(NetworkCameBack(c.was, c.now), c.back) << c.was << c.now;
}

}  // namespace
}  // namespace tw
