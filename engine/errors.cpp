#include <pthread.h>

#include "engine/engine.h"
#include "engine/internal.h"

namespace tw::engine {

namespace {
thread_local int t_error = BASS_OK;
}

void SetError(int code) { t_error = code; }

void NameThread(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace tw::engine

extern "C" int BASS_ErrorGetCode(void) { return tw::engine::t_error; }
