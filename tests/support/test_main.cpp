#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  // Headless and silent: SDL's dummy output is paced in real time like a sound card.
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
