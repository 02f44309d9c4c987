#include <gtest/gtest.h>

#include <string>

#include "engine/engine.h"

namespace tw::engine::test {
namespace {

struct PluginCase {
  const char* name8;
  const char16_t* name16;
  bool loads;
};

const PluginCase kCases[] = {
    {"bass_opus.dll", u"bass_opus.dll", true},
    {"bass_aac.dll", u"bass_aac.dll", true},
    {"bassflac.dll", u"bassflac.dll", true},
    {"basshls.dll", u"basshls.dll", true},
    {"BASS_OPUS.DLL", u"BASS_OPUS.DLL", true},
    {"BassFlac.Dll", u"BassFlac.Dll", true},
    {"C:\\Program Files\\Tunewell\\basshls.dll", u"C:\\Program Files\\Tunewell\\basshls.dll", true},
    {"/opt/tunewell/plugins/BASS_AAC.dll", u"/opt/tunewell/plugins/BASS_AAC.dll", true},
    {"plugins\\x/bass_opus.dll", u"plugins\\x/bass_opus.dll", true},
    {"bass_fx.dll", u"bass_fx.dll", false},
    {"", u"", false},
    {"foo.so", u"foo.so", false},
    {"bass_opus.dll.bak", u"bass_opus.dll.bak", false},
    {"xbass_opus.dll", u"xbass_opus.dll", false},
    {"bass_opus", u"bass_opus", false},
    {"bass_opus.dll/", u"bass_opus.dll/", false},
    {"bassflac.dl", u"bassflac.dl", false},
    {"bass_aac.dll ", u"bass_aac.dll ", false},
};

// Catches known names (in any case, behind any folder) being refused, other
// names being accepted, a failure without FILEOPEN, or a success that leaves an
// old error in place.
TEST(PluginsTest, KnownNamesLoadOthersFail) {
  for (const PluginCase& c : kCases) {
    SCOPED_TRACE(c.name8);
    BASS_SetConfig(0xDEAD, 0);  // leaves ILLPARAM behind
    const HPLUGIN handle8 = BASS_PluginLoad(c.name8, 0);
    const int error8 = BASS_ErrorGetCode();
    BASS_SetConfig(0xDEAD, 0);
    const HPLUGIN handle16 = BASS_PluginLoad(c.name16, BASS_UNICODE);
    const int error16 = BASS_ErrorGetCode();
    if (c.loads) {
      EXPECT_NE(handle8, 0u);
      EXPECT_EQ(error8, BASS_OK);
      EXPECT_EQ(handle16, handle8) << "the same plug-in in UTF-16";
      EXPECT_EQ(error16, BASS_OK);
    } else {
      EXPECT_EQ(handle8, 0u);
      EXPECT_EQ(error8, BASS_ERROR_FILEOPEN);
      EXPECT_EQ(handle16, 0u);
      EXPECT_EQ(error16, BASS_ERROR_FILEOPEN);
    }
  }
}

// Catches handles that change between loads of one plug-in, or that two
// plug-ins share.
TEST(PluginsTest, OneHandlePerPlugin) {
  const HPLUGIN opus = BASS_PluginLoad("bass_opus.dll", 0);
  const HPLUGIN aac = BASS_PluginLoad("bass_aac.dll", 0);
  const HPLUGIN flac = BASS_PluginLoad("bassflac.dll", 0);
  const HPLUGIN hls = BASS_PluginLoad("basshls.dll", 0);
  for (HPLUGIN handle : {opus, aac, flac, hls}) ASSERT_NE(handle, 0u);
  EXPECT_NE(opus, aac);
  EXPECT_NE(opus, flac);
  EXPECT_NE(opus, hls);
  EXPECT_NE(aac, flac);
  EXPECT_NE(aac, hls);
  EXPECT_NE(flac, hls);
  EXPECT_EQ(BASS_PluginLoad("BASS_OPUS.dll", 0), opus);
  EXPECT_EQ(BASS_PluginLoad(u"plugins/bassflac.DLL", BASS_UNICODE), flac);
}

// Catches the UTF-16 name being read as 8-bit (it would stop at the first zero
// byte and see "b") or the 8-bit one as UTF-16.
TEST(PluginsTest, EncodingFollowsTheUnicodeFlag) {
  EXPECT_EQ(BASS_PluginLoad(u"bass_aac.dll", 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  EXPECT_EQ(BASS_PluginLoad("bass_aac.dll\0\0", BASS_UNICODE), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
}

// Catches non-ASCII UTF-16 units being folded onto ASCII (e.g. U+FF41
// FULLWIDTH 'a' or a unit whose low byte is 'a'), and lone surrogates crashing.
TEST(PluginsTest, NonAsciiUtf16NeverMatches) {
  for (const char16_t* name : {u"b\uFF41ss_aac.dll", u"b\u0161ss_aac.dll", u"b\u0141ss_aac.dll",
                               u"\xD800"
                               u"bass_aac.dll",
                               u"bass_aac.dll\xDC00"}) {
    EXPECT_EQ(BASS_PluginLoad(name, BASS_UNICODE), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  }
  // A folder with non-ASCII characters is fine: only the base name counts.
  EXPECT_NE(BASS_PluginLoad(u"C:\\M\u00FCsik\\\u4E50/bass_aac.dll", BASS_UNICODE), 0u);
  EXPECT_NE(BASS_PluginLoad("/home/j\xC3\xBCrgen/bass_aac.dll", 0), 0u);
}

// Catches dereferencing a null name.
TEST(PluginsTest, NullNameIsIllegal) {
  EXPECT_EQ(BASS_PluginLoad(nullptr, 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
  EXPECT_EQ(BASS_PluginLoad(nullptr, BASS_UNICODE), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

}  // namespace
}  // namespace tw::engine::test
