// Format plug-ins. Every format the player asks for is decoded by the engine
// itself, so "loading" a known plug-in only hands out its handle.
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "engine/engine.h"
#include "engine/internal.h"
#include "platform/text.h"

namespace tw::engine {

namespace {

constexpr std::array<std::string_view, 4> kBuiltIn = {"bass_opus.dll", "bass_aac.dll",
                                                      "bassflac.dll", "basshls.dll"};
// Fixed per name, so loading a name twice gives the same handle, and far from
// the small numbers other handles start at.
constexpr HPLUGIN kFirstHandle = 0x7E000001;

// Reads code unit i of a NUL-terminated name of 8-bit (char) or UTF-16
// (char16_t) units. memcpy: the caller's void* may not be aligned for char16_t.
template <typename Unit>
char32_t UnitAt(const void* text, std::size_t i) {
  Unit unit;
  std::memcpy(&unit, static_cast<const unsigned char*>(text) + i * sizeof(Unit), sizeof(Unit));
  if constexpr (sizeof(Unit) == 1) {
    return static_cast<unsigned char>(unit);
  } else {
    return unit;
  }
}

// The index of the built-in plug-in whose name the file's base name (after the
// last '/' or '\') equals, ignoring ASCII case; -1 if none. Names are compared
// unit by unit: a non-ASCII unit (a byte >= 0x80 or a UTF-16 unit beyond ASCII,
// surrogates included) can never equal a built-in name's, so no decoding is
// needed and malformed UTF-16 is simply no match.
template <typename Unit>
int FindBuiltIn(const void* file) {
  std::size_t length = 0;
  std::size_t base = 0;
  for (char32_t c; (c = UnitAt<Unit>(file, length)) != 0; ++length) {
    if (c == '/' || c == '\\') base = length + 1;
  }
  for (std::size_t n = 0; n < kBuiltIn.size(); ++n) {
    const std::string_view name = kBuiltIn[n];
    if (length - base != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      same = AsciiLower(UnitAt<Unit>(file, base + i)) == static_cast<char32_t>(name[i]);
    }
    if (same) return static_cast<int>(n);
  }
  return -1;
}

}  // namespace

}  // namespace tw::engine

using namespace tw::engine;

extern "C" HPLUGIN BASS_PluginLoad(const void* file, DWORD flags) {
  if (!file) {
    SetError(BASS_ERROR_ILLPARAM);
    return 0;
  }
  const int found = (flags & BASS_UNICODE) ? FindBuiltIn<char16_t>(file) : FindBuiltIn<char>(file);
  if (found < 0) {
    SetError(BASS_ERROR_FILEOPEN);
    return 0;
  }
  SetError(BASS_OK);
  return kFirstHandle + static_cast<HPLUGIN>(found);
}
