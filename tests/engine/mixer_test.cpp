#include "engine/mixer.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/history.h"

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
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Case {
    float in;
    int16_t out;
  };
  const Case cases[] = {{0.0f, 0},       {0.5f, 16384},  {-0.5f, -16384}, {1.0f, 32767},
                        {-1.0f, -32768}, {1.5f, 32767},  {-7.0f, -32768}, {kNaN, 0},
                        {kInf, 32767},   {-kInf, -32768}};
  static_assert(std::size(cases) % 2 == 0, "whole stereo frames");
  std::vector<float> samples;
  for (const Case& c : cases) samples.push_back(c.in);
  PlayedHistory history;
  history.Append(samples.data(), samples.size() / 2);
  std::array<int16_t, PlayedHistory::kSamples> out{};
  history.CopyAsInt16(out);
  const std::size_t first = PlayedHistory::kSamples - samples.size();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(out[first + i], cases[i].out) << "input " << cases[i].in;
  }
}

}  // namespace
}  // namespace tw::engine::test
