#include <gtest/gtest.h>

#include <thread>

#include "engine/engine.h"
#include "tests/engine/engine_fixture.h"

namespace tw::engine::test {
namespace {

// Catches a process-wide error code: a failure on one thread must not show up
// on another, in either direction.
TEST(ErrorsTest, CodesArePerThread) {
  ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_FLOATDSP, 0));
  ASSERT_EQ(BASS_ErrorGetCode(), BASS_OK);

  int failingThreadCode = -2;
  std::thread failing([&] {
    EXPECT_FALSE(BASS_Init(-5, 44100, 0, nullptr, nullptr));
    failingThreadCode = BASS_ErrorGetCode();
  });
  failing.join();
  EXPECT_EQ(failingThreadCode, BASS_ERROR_DEVICE);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);

  EXPECT_FALSE(BASS_PluginLoad("foo.so", 0));
  ASSERT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  int freshThreadCode = -2;
  std::thread([&] { freshThreadCode = BASS_ErrorGetCode(); }).join();
  EXPECT_EQ(freshThreadCode, BASS_OK);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
}

// Catches calls that only ever set errors, leaving an old failure in place
// after a later success.
TEST(ErrorsTest, SuccessClearsTheCode) {
  BASS_DEVICEINFO info{};
  auto fail = [] { ASSERT_FALSE(BASS_GetDeviceInfo(0, nullptr)); };
  fail();
  EXPECT_TRUE(BASS_GetDeviceInfo(0, &info));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  fail();
  EXPECT_LE(BASS_GetConfig(BASS_CONFIG_FLOATDSP), 1u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  fail();
  EXPECT_TRUE(BASS_SetConfigPtr(BASS_CONFIG_NET_PROXY, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  fail();
  EXPECT_NE(BASS_PluginLoad("bassflac.dll", 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  fail();
  ASSERT_TRUE(BASS_Init(NoSoundDevice(), 44100, 0, nullptr, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  fail();
  EXPECT_EQ(BASS_GetDevice(), static_cast<DWORD>(NoSoundDevice()));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  fail();
  EXPECT_TRUE(BASS_Free());
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
}

}  // namespace
}  // namespace tw::engine::test
