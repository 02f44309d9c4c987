#include "engine/engine.h"

// Builds may stamp other versions (tests of the player's version checks do).
#ifndef TW_ENGINE_VERSION
#define TW_ENGINE_VERSION 0x02040000
#endif
#ifndef TW_FX_VERSION
#define TW_FX_VERSION 0x02040000
#endif

extern "C" DWORD BASS_GetVersion(void) { return TW_ENGINE_VERSION; }
extern "C" DWORD BASS_FX_GetVersion(void) { return TW_FX_VERSION; }
