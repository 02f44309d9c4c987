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
  if (!up) {
    // SDL would otherwise take SIGINT and SIGTERM over and turn them into quit
    // events nobody reads: the player (and a hung test) could not be stopped.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    up = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
  }
  return up;
}

}  // namespace tw::engine
