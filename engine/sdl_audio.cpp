#include <SDL.h>

#include <mutex>

#include "engine/internal.h"

namespace tw::engine {

std::mutex& SdlAudioMutex() {
  static std::mutex* mutex = new std::mutex;  // never destroyed, like SDL's audio state
  return *mutex;
}

bool EnsureSdlAudioLocked() {
  // SDL counts InitSubSystem calls; ours is made once and never undone, because
  // device name pointers and open devices depend on the subsystem staying up.
  static bool up = false;  // guarded by SdlAudioMutex()
  if (!up) up = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
  return up;
}

}  // namespace tw::engine
