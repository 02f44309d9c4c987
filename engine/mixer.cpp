#include "engine/mixer.h"

#include <algorithm>

#include "engine/internal.h"

namespace tw::engine {

void Mixer::Render(float* out, std::size_t frames) {
  // No streams yet: the mix is silence. The output's buffer may hold anything
  // (SDL does not promise to clear it), so write every sample.
  std::fill_n(out, frames * kChannels, 0.0f);
  history_.Append(out, frames);
  frames_rendered_.fetch_add(frames, std::memory_order_relaxed);
}

}  // namespace tw::engine
