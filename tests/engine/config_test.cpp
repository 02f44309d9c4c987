#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "engine/engine.h"
#include "engine/internal.h"

namespace tw::engine::test {
namespace {

// Options are process-wide: put back what the engine started with.
class ConfigTest : public ::testing::Test {
 protected:
  void TearDown() override {
    BASS_SetConfig(BASS_CONFIG_BUFFER, 500);
    BASS_SetConfig(BASS_CONFIG_FLOATDSP, 0);
    BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 75);
    BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 0);
    BASS_SetConfigPtr(BASS_CONFIG_NET_PROXY, nullptr);
  }
};

struct ConfigCase {
  DWORD option;
  DWORD set;
  DWORD expected;
};

// Catches options stored in the wrong slot, not stored, read back wrongly, or
// kept outside the range the stream code can work with.
TEST_F(ConfigTest, SetValuesReadBack) {
  const ConfigCase cases[] = {
      {BASS_CONFIG_BUFFER, 1200, 1200},
      {BASS_CONFIG_BUFFER, 10, 10},
      {BASS_CONFIG_BUFFER, 5000, 5000},
      {BASS_CONFIG_BUFFER, 0, 10},
      {BASS_CONFIG_BUFFER, 99999, 5000},
      {BASS_CONFIG_FLOATDSP, 1, 1},
      {BASS_CONFIG_FLOATDSP, 0, 0},
      {BASS_CONFIG_FLOATDSP, 7, 1},
      {BASS_CONFIG_NET_PREBUF, 0, 0},
      {BASS_CONFIG_NET_PREBUF, 40, 40},
      {BASS_CONFIG_NET_PREBUF, 250, 100},
      {BASS_CONFIG_NET_PLAYLIST, 1, 1},
      {BASS_CONFIG_NET_PLAYLIST, 2, 2},
      {BASS_CONFIG_NET_PLAYLIST, 9, 2},
      {BASS_CONFIG_NET_PLAYLIST, 0, 0},
      // "For ever" is not an hour; anything else beyond an hour is.
      {BASS_CONFIG_NET_RECONNECT, BASS_NET_RECONNECT_FOREVER, BASS_NET_RECONNECT_FOREVER},
      {BASS_CONFIG_NET_RECONNECT, 0xFFFFFFFEu, 3600000},
      {BASS_CONFIG_NET_RECONNECT, 30000, 30000},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "option " << c.option << " set " << c.set);
    BASS_SetConfig(0xDEAD, 0);  // leaves ILLPARAM behind
    EXPECT_TRUE(BASS_SetConfig(c.option, c.set));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
    BASS_SetConfig(0xDEAD, 0);
    EXPECT_EQ(BASS_GetConfig(c.option), c.expected);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  }
}

// Catches one option's store overwriting another's.
TEST_F(ConfigTest, OptionsAreIndependent) {
  ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_BUFFER, 321));
  ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1));
  ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 33));
  ASSERT_TRUE(BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1));
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_BUFFER), 321u);
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_FLOATDSP), 1u);
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_NET_PREBUF), 33u);
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_NET_PLAYLIST), 1u);
  EXPECT_EQ(ConfigBufferMs(), 321u);
  EXPECT_TRUE(ConfigFloatDsp());
  EXPECT_EQ(ConfigNetPrebufPercent(), 33u);
  EXPECT_EQ(ConfigNetPlaylist(), 1u);
}

// Catches unknown options being accepted or answered, including the proxy
// through the number calls and numbers through the pointer call.
TEST_F(ConfigTest, UnknownOptionsAreIllegal) {
  for (DWORD option : {1u, 16u, 0xDEADu, static_cast<DWORD>(BASS_CONFIG_NET_PROXY)}) {
    SCOPED_TRACE(option);
    EXPECT_FALSE(BASS_SetConfig(option, 1));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_EQ(BASS_GetConfig(option), 0xFFFFFFFFu);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
  }
  for (DWORD option : {0u, 9u, 15u, 21u, 0xDEADu}) {
    EXPECT_FALSE(BASS_SetConfigPtr(option, "x")) << option;
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM) << option;
  }
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_BUFFER), 500u) << "a failed call changed a value";
}

// Catches keeping the caller's pointer instead of a copy (the caller's buffer
// is reused at once), and null or "" not meaning "no proxy".
TEST_F(ConfigTest, ProxyIsCopiedAndCanBeCleared) {
  char buffer[64];
  std::strcpy(buffer, "proxy.example:3128");
  ASSERT_TRUE(BASS_SetConfigPtr(BASS_CONFIG_NET_PROXY, buffer));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
  std::strcpy(buffer, "overwritten");
  EXPECT_EQ(ConfigNetProxy(), std::optional<std::string>("proxy.example:3128"));

  ASSERT_TRUE(BASS_SetConfigPtr(BASS_CONFIG_NET_PROXY, nullptr));
  EXPECT_EQ(ConfigNetProxy(), std::nullopt);

  ASSERT_TRUE(BASS_SetConfigPtr(BASS_CONFIG_NET_PROXY, "10.0.0.1:8080"));
  EXPECT_EQ(ConfigNetProxy(), std::optional<std::string>("10.0.0.1:8080"));
  ASSERT_TRUE(BASS_SetConfigPtr(BASS_CONFIG_NET_PROXY, ""));
  EXPECT_EQ(ConfigNetProxy(), std::nullopt);
}

}  // namespace
}  // namespace tw::engine::test
