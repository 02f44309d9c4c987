// An SDL device left idle: its audio thread would wake every period all day.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "engine/internal.h"
#include "tests/engine/stream_fixture.h"

namespace tw::engine::test {
namespace {

// SDL runs each open playback device on a thread of its own, "SDLAudioP<id>".
int SdlAudioThreads() {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("SDLAudioP", 0) == 0) ++count;
  }
  return count;
}

// Catches an idle device kept open (its thread waking 43 times a second with
// nothing to play), the clock stopping while it is closed, and a device not
// opened again for the next stream.
TEST_F(StreamTest, SdlDeviceClosesWhileIdleAndOpensForTheNextStream) {
  BASS_Free();
  ASSERT_TRUE(BASS_Init(-1, kRate, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
  // SDL's thread names itself once it runs.
  EXPECT_TRUE(WaitFor([] { return SdlAudioThreads() == 1; }));
  ASSERT_TRUE(WaitFor([] { return SdlAudioThreads() == 0; }, milliseconds(6000)))
      << "nothing played for 6 s, and the device stayed open";

  const auto start = Clock::now();
  const uint64_t first = FramesRendered();
  std::this_thread::sleep_for(milliseconds(300));
  const double pace = static_cast<double>(FramesRendered() - first) / (SecondsSince(start) * kRate);
  EXPECT_GT(pace, 0.5) << "the output's clock stopped with the device";
  EXPECT_LT(pace, 2.0);

  ServeAudio("/tone", "audio/mpeg", Tone(AudioFormat::kMp3));
  const HSTREAM stream = Open("/tone");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  const tw::test::ToneMeasure played = WaitForTone(stream);
  EXPECT_TRUE(IsTone(played, kToneHz)) << played.frequency << " Hz, rms " << played.rms;
  EXPECT_EQ(SdlAudioThreads(), 1);
}

}  // namespace
}  // namespace tw::engine::test
