#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/history.h"
#include "engine/mixer.h"

namespace tw::engine::test {
namespace {

// Catches the mixer leaving whatever was in the output's buffer (SDL does not
// promise a clean one) and miscounting frames.
TEST(MixerTest, RendersSilenceAndCountsFrames) {
  Mixer mixer(44100);
  std::vector<float> buffer(2 * 700, 0.75f);
  mixer.Render(buffer.data(), 300);
  for (std::size_t i = 0; i < 600; ++i) ASSERT_EQ(buffer[i], 0.0f) << i;
  EXPECT_EQ(buffer[600], 0.75f) << "wrote past the frames asked for";
  mixer.Render(buffer.data(), 700);
  for (float sample : buffer) ASSERT_EQ(sample, 0.0f);
  EXPECT_EQ(mixer.frames_rendered(), 1000u);
}

// Frame k of a test signal: left k/4096, right -k/4096 (exact in 16 bits: k*8).
std::vector<float> Ramp(int first, int count) {
  std::vector<float> frames;
  for (int k = first; k < first + count; ++k) {
    frames.push_back(static_cast<float>(k) / 4096.0f);
    frames.push_back(-static_cast<float>(k) / 4096.0f);
  }
  return frames;
}

void ExpectLastFramesOfRamp(const PlayedHistory& history, int total) {
  std::array<int16_t, PlayedHistory::kSamples> out{};
  history.CopyAsInt16(out);
  const int oldest = total - static_cast<int>(PlayedHistory::kFrames);
  for (std::size_t i = 0; i < PlayedHistory::kFrames; ++i) {
    const int k = oldest + static_cast<int>(i);
    const int expected = k < 0 ? 0 : k * 8;
    ASSERT_EQ(out[2 * i], expected) << "frame " << i << " left";
    ASSERT_EQ(out[2 * i + 1], -expected) << "frame " << i << " right";
  }
}

// Catches wrap-around mistakes in the history: wrong order after the ring
// wraps, lost or repeated frames at the seam, blocks longer than the history
// not keeping their newest end, and left/right swapped.
TEST(MixerTest, HistoryKeepsTheNewestFramesOldestFirst) {
  const std::vector<std::vector<int>> block_plans = {
      {100},                // not yet full: older frames read as silence
      {100, 300, 250},      // wraps once, mid-block
      {512, 1},             // exactly full, then one more
      {700, 10},            // longer than the history
      {511, 511, 511, 3},   // many wraps
      {1, 1, 1, 600, 77}};  // tiny blocks then a long one
  for (const std::vector<int>& plan : block_plans) {
    PlayedHistory history;
    int total = 0;
    for (int count : plan) {
      const std::vector<float> block = Ramp(total, count);
      history.Append(block.data(), static_cast<std::size_t>(count));
      total += count;
    }
    SCOPED_TRACE(total);
    ExpectLastFramesOfRamp(history, total);
  }
}

// Catches 16-bit conversion that wraps loud samples around instead of
// clipping them, or lets NaN through as garbage.
TEST(MixerTest, HistoryConvertsTo16BitWithClipping) {
  const float inputs[] = {0.0f, 0.5f,  -0.5f, 1.0f,  -1.0f, 1.5f,
                          -7.0f, std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()};
  const int16_t expected[] = {0, 16384, -16384, 32767, -32768, 32767, -32768, 0, 32767, -32768};
  constexpr std::size_t kCount = std::size(inputs);
  static_assert(kCount % 2 == 0);
  PlayedHistory history;
  history.Append(inputs, kCount / 2);
  std::array<int16_t, PlayedHistory::kSamples> out{};
  history.CopyAsInt16(out);
  for (std::size_t i = 0; i < kCount; ++i) {
    EXPECT_EQ(out[PlayedHistory::kSamples - kCount + i], expected[i]) << "input " << inputs[i];
  }
}

}  // namespace
}  // namespace tw::engine::test
