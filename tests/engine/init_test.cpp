#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/internal.h"
#include "tests/engine/engine_fixture.h"

namespace tw::engine::test {
namespace {

using InitTest = EngineTest;

constexpr int kNoSound = -100;  // stands for the last device in the tables below

struct InitCase {
  const char* what;
  int device;
  DWORD flags;
  DWORD expectedDevice;  // what BASS_GetDevice then reports
};

// Catches a device number mapped to the wrong output, -1 not meaning the
// default, flags (3D) being refused, or BASS_Free not releasing what BASS_Init
// took (the second Init of each case would then fail).
TEST_F(InitTest, OpensAndFreesEachKindOfDevice) {
  const auto noSound = static_cast<DWORD>(NoSoundDevice());
  const InitCase cases[] = {
      {"-1 is the default", -1, 0, 0},
      {"0 is the default", 0, 0, 0},
      {"the SDL output", 1, 0, 1},
      {"No sound", kNoSound, 0, noSound},
      {"3D flag ignored", -1, BASS_DEVICE_3D, 0},
      {"3D flag on No sound", kNoSound, BASS_DEVICE_3D, noSound},
  };
  for (const InitCase& c : cases) {
    SCOPED_TRACE(c.what);
    const int device = c.device == kNoSound ? static_cast<int>(noSound) : c.device;
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(BASS_Init(device, 44100, c.flags, nullptr, nullptr)) << BASS_ErrorGetCode();
      EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
      EXPECT_EQ(BASS_GetDevice(), c.expectedDevice);
      EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
      ASSERT_TRUE(BASS_Free());
      EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    }
  }
}

// Catches BASS_Free reporting success when nothing is open, and BASS_GetDevice
// answering a device number while not initialised.
TEST_F(InitTest, FreeAndGetDeviceNeedInit) {
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  ASSERT_TRUE(BASS_Free());
  EXPECT_FALSE(BASS_Free());
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
  EXPECT_EQ(BASS_GetDevice(), 0xFFFFFFFFu);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
}

// Catches a second BASS_Init replacing (or tearing down) the open output.
TEST_F(InitTest, SecondInitFailsWithAlreadyAndKeepsTheFirst) {
  const int noSound = NoSoundDevice();
  ASSERT_TRUE(BASS_Init(noSound, 44100, 0, nullptr, nullptr));
  for (int device : {-1, 0, noSound}) {
    EXPECT_FALSE(BASS_Init(device, 44100, 0, nullptr, nullptr)) << device;
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY) << device;
  }
  EXPECT_EQ(BASS_GetDevice(), static_cast<DWORD>(noSound));
  const uint64_t before = FramesRendered();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GT(FramesRendered(), before) << "the first output stopped";
}

// Catches unknown device numbers being accepted (or wrapped onto a real device).
TEST_F(InitTest, UnknownDeviceFailsWithDeviceError) {
  const int pastEnd = NoSoundDevice() + 1;
  for (int device : {-2, pastEnd, pastEnd + 1, 1000, INT_MIN, INT_MAX}) {
    EXPECT_FALSE(BASS_Init(device, 44100, 0, nullptr, nullptr)) << device;
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE) << device;
    EXPECT_EQ(BASS_GetDevice(), 0xFFFFFFFFu) << device << " left the engine initialised";
  }
}

// Catches a zero or absurd rate reaching SDL or the "No sound" clock.
TEST_F(InitTest, BadRateIsIllegal) {
  for (DWORD freq : {0u, 10'000'000u, 0x80000000u, 0xFFFFFFFFu}) {
    for (int device : {-1, NoSoundDevice()}) {
      EXPECT_FALSE(BASS_Init(device, freq, 0, nullptr, nullptr)) << freq << " on " << device;
      EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM) << freq << " on " << device;
    }
  }
  EXPECT_EQ(BASS_GetDevice(), 0xFFFFFFFFu);
}

// Frames the current output pulls during about `span`, relative to real time.
double PulledVersusRealTime(int freq, std::chrono::milliseconds span) {
  const auto start = std::chrono::steady_clock::now();
  const uint64_t first = FramesRendered();
  std::this_thread::sleep_for(span);
  const uint64_t last = FramesRendered();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<double>(last - first) / (elapsed.count() * freq);
}

// Catches "No sound" never pulling audio, or pulling it as fast as it can
// instead of at the pace of a sound card (bounds are wide: machines are busy).
TEST_F(InitTest, NoSoundConsumesAudioInRealTime) {
  for (int freq : {44100, 8000}) {
    SCOPED_TRACE(freq);
    ASSERT_TRUE(BASS_Init(NoSoundDevice(), static_cast<DWORD>(freq), 0, nullptr, nullptr));
    const double ratio = PulledVersusRealTime(freq, std::chrono::milliseconds(400));
    EXPECT_GT(ratio, 0.25);
    EXPECT_LT(ratio, 3.0);
    ASSERT_TRUE(BASS_Free());
  }
}

// Catches the SDL output not being started (devices open paused) or its
// callback not reaching the mixer. SDL's dummy driver keeps real time too.
TEST_F(InitTest, DefaultOutputPullsFromTheMixer) {
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  const double ratio = PulledVersusRealTime(44100, std::chrono::milliseconds(400));
  EXPECT_GT(ratio, 0.25);
  EXPECT_LT(ratio, 3.0);
}

// Catches BASS_Free leaving SDL devices open or "No sound" threads running:
// SDL has fewer device slots than the 20 opens here, and a stray thread shows
// up under the sanitizers.
TEST_F(InitTest, RepeatedInitAndFreeDoNotLeak) {
  const int noSound = NoSoundDevice();
  for (int round = 0; round < 20; ++round) {
    for (int device : {-1, noSound}) {
      ASSERT_TRUE(BASS_Init(device, 44100, 0, nullptr, nullptr))
          << "round " << round << ", device " << device << ", error " << BASS_ErrorGetCode();
      ASSERT_TRUE(BASS_Free());
    }
  }
}

// Catches racing BASS_Init calls both opening an output: exactly one wins.
TEST_F(InitTest, ConcurrentInitOpensOnce) {
  const int noSound = NoSoundDevice();
  constexpr int kThreads = 8;
  std::vector<int> results(kThreads), errors(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      results[i] = BASS_Init(i % 2 ? noSound : -1, 44100, 0, nullptr, nullptr);
      errors[i] = BASS_ErrorGetCode();
    });
  }
  for (std::thread& thread : threads) thread.join();
  int winners = 0;
  for (int i = 0; i < kThreads; ++i) {
    if (results[i]) {
      ++winners;
      EXPECT_EQ(errors[i], BASS_OK);
    } else {
      EXPECT_EQ(errors[i], BASS_ERROR_ALREADY);
    }
  }
  EXPECT_EQ(winners, 1);
  EXPECT_TRUE(BASS_Free());
  EXPECT_FALSE(BASS_Free());
}

}  // namespace
}  // namespace tw::engine::test
