// Shared by the engine tests: the engine is one per process, so every test that
// initialises it must leave it freed for the next.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/support/no_sound_device.h"

namespace tw::engine::test {

struct ListedDevice {
  std::string name;
  std::string driver;
  DWORD flags = 0;
};

// Every device BASS_GetDeviceInfo lists, in order (stops at the first failure).
inline std::vector<ListedDevice> ListedDevices() {
  std::vector<ListedDevice> devices;
  BASS_DEVICEINFO info{};
  for (DWORD i = 0; i < 256 && BASS_GetDeviceInfo(i, &info); ++i) {
    devices.push_back(
        {info.name ? info.name : "<null>", info.driver ? info.driver : "<null>", info.flags});
  }
  return devices;
}

using tw::test::NoSoundDevice;

class EngineTest : public ::testing::Test {
 protected:
  void TearDown() override { BASS_Free(); }
};

}  // namespace tw::engine::test
