#include "engine/pcm_ring.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tw::engine::test {
namespace {

// Frame k: left k, right -k.
std::vector<float> Frames(int first, int count) {
  std::vector<float> frames;
  for (int k = first; k < first + count; ++k) {
    frames.push_back(static_cast<float>(k));
    frames.push_back(-static_cast<float>(k));
  }
  return frames;
}

// Catches frames lost, repeated or swapped where a write or a read wraps
// around the end of the storage, and writes taken beyond the room there is.
TEST(PcmRingTest, WrapsAroundInOrder) {
  struct Step {
    std::size_t write;    // frames offered
    std::size_t written;  // frames it must take
    std::size_t read;     // frames asked for then
    std::size_t got;      // frames it must give
  } steps[] = {
      {5, 5, 3, 3},  // 0..4 in, 0..2 out
      {6, 6, 7, 7},  // wraps: 5..10 in, 3..9 out (the read wraps too)
      {9, 7, 0, 0},  // only 7 fit beside frame 10
      {0, 0, 9, 8},  // everything left: 10..17
      {0, 0, 4, 0},  // empty
      {8, 8, 8, 8},  // exactly the capacity, wrapping both ways
  };
  PcmRing ring(8);
  int nextIn = 0;
  int nextOut = 0;
  for (const Step& step : steps) {
    const std::string where = "at frame " + std::to_string(nextIn);
    const std::vector<float> in = Frames(nextIn, static_cast<int>(step.write));
    EXPECT_EQ(ring.Write(in.data(), step.write), step.written) << where;
    nextIn += static_cast<int>(step.written);
    std::vector<float> out(step.read * 2 + 2, 99.0f);
    ASSERT_EQ(ring.Read(out.data(), step.read), step.got) << where;
    for (std::size_t i = 0; i < step.got; ++i) {
      EXPECT_EQ(out[i * 2], static_cast<float>(nextOut)) << where;
      EXPECT_EQ(out[i * 2 + 1], -static_cast<float>(nextOut)) << where;
      ++nextOut;
    }
    EXPECT_EQ(out[step.got * 2], 99.0f) << "read past the frames it gave, " << where;
    EXPECT_EQ(ring.available(), static_cast<std::size_t>(nextIn - nextOut)) << where;
  }
}

}  // namespace
}  // namespace tw::engine::test
