// The engine's "No sound" output, for tests and benchmarks that play without a
// sound card: always the last device the engine lists.
#pragma once

#include "engine/engine.h"

namespace tw::test {

inline int NoSoundDevice() {
  BASS_DEVICEINFO info{};
  int count = 0;
  while (BASS_GetDeviceInfo(static_cast<DWORD>(count), &info)) ++count;
  return count - 1;
}

}  // namespace tw::test
