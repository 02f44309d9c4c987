#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"

namespace tw::engine::test {
namespace {

using DevicesTest = EngineTest;

// Catches a list without the default first, without "No sound" last, or with
// DEFAULT/ENABLED on the wrong entries.
TEST_F(DevicesTest, DefaultFirstNoSoundLast) {
  const std::vector<ListedDevice> devices = ListedDevices();
  ASSERT_GE(devices.size(), 2u);
  EXPECT_EQ(devices.front().name, "Default");
  EXPECT_EQ(devices.front().flags & (BASS_DEVICE_DEFAULT | BASS_DEVICE_ENABLED),
            static_cast<DWORD>(BASS_DEVICE_DEFAULT | BASS_DEVICE_ENABLED));
  EXPECT_EQ(devices.back().name, "No sound");
  EXPECT_EQ(devices.back().driver, "");
  EXPECT_EQ(devices.back().flags, static_cast<DWORD>(BASS_DEVICE_ENABLED));
  for (std::size_t i = 1; i < devices.size(); ++i) {
    EXPECT_EQ(devices[i].flags & BASS_DEVICE_DEFAULT, 0u) << devices[i].name;
    EXPECT_FALSE(devices[i].name.empty()) << "device " << i;
  }
}

// Catches the SDL outputs being left out of the list (the test driver lists one).
TEST_F(DevicesTest, ListsTheSdlOutputs) {
  const char* driver = std::getenv("SDL_AUDIODRIVER");
  if (!driver || std::string(driver) != "dummy") GTEST_SKIP() << "needs SDL's dummy driver";
  const std::vector<ListedDevice> devices = ListedDevices();
  ASSERT_GE(devices.size(), 3u);
  EXPECT_EQ(devices[1].driver, "dummy");
  EXPECT_EQ(devices[1].flags, static_cast<DWORD>(BASS_DEVICE_ENABLED));
}

// Catches reading past the end of the list instead of failing with DEVICE, and a
// stale error code left on success.
TEST_F(DevicesTest, PastTheEndFailsWithDeviceError) {
  const auto count = static_cast<DWORD>(ListedDevices().size());
  BASS_DEVICEINFO info{};
  for (DWORD device : {count, count + 1, 0xFFFFFFFFu}) {
    info.name = "untouched";
    EXPECT_FALSE(BASS_GetDeviceInfo(device, &info)) << device;
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE) << device;
    EXPECT_STREQ(info.name, "untouched") << device;
  }
  EXPECT_TRUE(BASS_GetDeviceInfo(count - 1, &info));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
}

// Catches dereferencing a null info.
TEST_F(DevicesTest, NullInfoIsIllegal) {
  EXPECT_FALSE(BASS_GetDeviceInfo(0, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

// Catches handing out name pointers that die when the list is read again or the
// output is opened and closed (callers keep them; ASan sees a stale read).
TEST_F(DevicesTest, NamesOutliveLaterListings) {
  std::vector<const char*> names;
  std::vector<std::string> copies;
  BASS_DEVICEINFO info{};
  for (DWORD i = 0; BASS_GetDeviceInfo(i, &info); ++i) {
    names.push_back(info.name);
    copies.emplace_back(info.name);
  }
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  ASSERT_TRUE(BASS_Free());
  for (int round = 0; round < 5; ++round) ListedDevices();
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(copies[i], names[i]);
}

// Catches INIT on the wrong device, on none, or left behind after BASS_Free:
// each device in turn is opened and must be the only one flagged.
TEST_F(DevicesTest, InitFlagMarksTheOpenDevice) {
  const int count = static_cast<int>(ListedDevices().size());
  for (int open = 0; open < count; ++open) {
    ASSERT_TRUE(BASS_Init(open, 44100, 0, nullptr, nullptr)) << "device " << open;
    const std::vector<ListedDevice> devices = ListedDevices();
    ASSERT_EQ(static_cast<int>(devices.size()), count);
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ((devices[i].flags & BASS_DEVICE_INIT) != 0, i == open)
          << "open " << open << ", listed " << i;
    }
    ASSERT_TRUE(BASS_Free());
    for (const ListedDevice& device : ListedDevices()) {
      EXPECT_EQ(device.flags & BASS_DEVICE_INIT, 0u) << device.name << " after free";
    }
  }
}

}  // namespace
}  // namespace tw::engine::test
