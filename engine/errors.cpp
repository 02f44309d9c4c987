#include "engine/engine.h"
#include "engine/internal.h"

namespace tw::engine {

namespace {
thread_local int t_error = BASS_OK;
}

void SetError(int code) { t_error = code; }

}  // namespace tw::engine

extern "C" int BASS_ErrorGetCode(void) { return tw::engine::t_error; }
