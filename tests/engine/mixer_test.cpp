#include "engine/mixer.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/history.h"
#include "engine/internal.h"
#include "engine/stream.h"

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
  EXPECT_EQ(mixer.FramesRendered(), 1000u);
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
  const std::vector<std::vector<int>> blockPlans = {
      {100},                // not yet full: older frames read as silence
      {100, 300, 250},      // wraps once, mid-block
      {512, 1},             // exactly full, then one more
      {700, 10},            // longer than the history
      {511, 511, 511, 3},   // many wraps
      {1, 1, 1, 600, 77}};  // tiny blocks then a long one
  for (const std::vector<int>& plan : blockPlans) {
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

// Catches a stream paced in real time being started the moment its first frame
// is decoded (it then runs dry before the second arrives: a stall right after
// Play) or being held back a whole output period, and a burst waiting at all.
// A stream starts once what is buffered plus what arrived since its last frame
// covers the render, one frame and 15 ms of jitter; within a render it starts
// at the latest point that keeps that true.
TEST(MixerTest, StartsAStreamWhenItsLeadCoversTheNextFrame) {
  constexpr int kRate = 44100;
  constexpr std::size_t kFrame = 1152;  // one MP3 frame
  constexpr std::size_t kRender = 882;  // 20 ms
  // need = 1152 + 661 (15 ms); lead = buffered + arrived since, at most a frame
  struct Case {
    std::size_t buffered;
    int sinceMs;
    bool finished;
    std::size_t taken;
    const char* what;
  };
  const Case cases[] = {
      {kFrame, 0, false, 0, "the first frame just decoded: wait"},
      {kFrame, 10, false, 0, "10 ms on: still short"},
      {kFrame, 25, false, 441, "25 ms on: 1152 + 1102 - 1813, at the render's end"},
      {kFrame, 1000, false, 491, "a frame overdue earns no more than one frame: 2304 - 1813"},
      {8000, 0, false, kRender, "a burst: at once"},
      {kFrame, 0, true, kRender, "all that is left of a stream: at once"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Mixer mixer(kRate);
    Stream stream(1, "", 0, nullptr, nullptr, kRate);
    stream.phase = Phase::kPlaying;
    const std::vector<float> audio(c.buffered * 2, 0.25f);
    ASSERT_EQ(stream.pcm.Write(audio.data(), c.buffered), c.buffered);
    stream.largestFrame = kFrame;
    stream.decodeFinished = c.finished;
    stream.lastWriteNanos = SteadyNanos() - int64_t{c.sinceMs} * 1'000'000;
    mixer.Add(&stream);
    std::vector<float> out(kRender * 2, 1.0f);
    mixer.Render(out.data(), kRender);

    std::size_t silent = 0;
    while (silent < kRender && out[2 * silent] == 0.0f) ++silent;
    const std::size_t taken = kRender - silent;
    // A slow machine may run a few frames' time between setting and rendering.
    EXPECT_NEAR(static_cast<double>(taken), static_cast<double>(c.taken), c.taken ? 3.0 : 0.0);
    for (std::size_t i = silent; i < kRender; ++i) ASSERT_EQ(out[2 * i], 0.25f) << i;
    EXPECT_EQ(stream.pcm.available(), c.buffered - taken);
    EXPECT_EQ(stream.phase.load(), Phase::kPlaying) << "no stall";
    EXPECT_EQ(stream.firstMixedNanos.load() != 0, taken > 0);
    // The output learns that a stream waits, so it can look again soon.
    EXPECT_EQ(mixer.StartPending(), taken == 0);
    mixer.Remove(&stream);
  }
}

// Catches a stream that never starts because the station stalled right after its
// first few frames, which would sit silent while reported as playing, with no
// stall for the player to show "buffering": with frames shorter than the jitter
// room (10 ms Opus), what is buffered never covers the lead a start needs.
TEST(MixerTest, AStreamWhoseNextFrameIsOverdueStartsAndStalls) {
  constexpr int kRate = 44100;
  constexpr std::size_t kFrame = 441;
  Mixer mixer(kRate);
  Stream stream(1, "", 0, nullptr, nullptr, kRate);
  stream.phase = Phase::kPlaying;
  const std::vector<float> audio(kFrame * 2, 0.25f);
  ASSERT_EQ(stream.pcm.Write(audio.data(), kFrame), kFrame);
  stream.largestFrame = kFrame;
  stream.lastWriteNanos = SteadyNanos();
  mixer.Add(&stream);
  std::vector<float> out(882 * 2);
  mixer.Render(out.data(), 882);
  EXPECT_EQ(out[0], 0.0f) << "started with its next frame not yet due";
  EXPECT_TRUE(mixer.StartPending());

  stream.lastWriteNanos = SteadyNanos() - 100'000'000;  // 100 ms: ten frames overdue
  mixer.Render(out.data(), 882);
  EXPECT_EQ(out[0], 0.25f);
  EXPECT_EQ(out[2 * (kFrame - 1)], 0.25f);
  EXPECT_EQ(out[2 * kFrame], 0.0f);
  EXPECT_EQ(stream.phase.load(), Phase::kStalled);
  EXPECT_FALSE(mixer.StartPending());
  mixer.Remove(&stream);
}

}  // namespace
}  // namespace tw::engine::test
