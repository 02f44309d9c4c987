// The MP3 frame finder on arbitrary bytes: what it finds must be a header whose
// frame ends exactly at the end of the input, and it must find the first such.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "engine/mpeg_audio_header.h"

using namespace tw::engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<std::size_t> start = FindMpegFrameStart(data, size);
  if (!start) return 0;
  if (*start + 4 > size) std::abort();
  const std::optional<std::size_t> bytes = MpegFrameBytes(MpegHeaderWord(data + *start));
  if (!bytes || *bytes != size - *start) std::abort();
  for (std::size_t at = 0; at < *start && at + 4 <= size; ++at) {
    const std::optional<std::size_t> earlier = MpegFrameBytes(MpegHeaderWord(data + at));
    if (earlier && *earlier == size - at) std::abort();
  }
  return 0;
}
