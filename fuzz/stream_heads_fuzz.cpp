// The head finder on arbitrary bytes: what it finds must not depend on how the
// network cut the data, and each head lies inside the bytes fed (a FLAC head
// cut down to its stream info aside, whose bytes are then its own).
// Input: a seed byte (its low bit: labelled Ogg; the rest: piece sizes), then
// the section's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "engine/stream_heads.h"

using tw::engine::HeadFinder;
using tw::engine::StreamHead;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::uint32_t random = data[0] * 2654435761u + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  constexpr std::uint64_t kStart = 1000;
  const std::string_view hint = (data[0] & 1) ? "audio/ogg" : "audio/mpeg";

  HeadFinder whole;
  whole.Begin(kStart, hint);
  std::vector<StreamHead> all;
  whole.Feed(bytes, &all);

  HeadFinder pieces;
  pieces.Begin(kStart, hint);
  std::vector<StreamHead> pieceHeads;
  for (std::string_view rest = bytes; !rest.empty();) {
    random = random * 1664525u + 1013904223u;
    const std::size_t n = 1 + random % 97;
    pieces.Feed(rest.substr(0, n), &pieceHeads);
    rest.remove_prefix(std::min(n, rest.size()));
  }
  if (all.size() != pieceHeads.size()) std::abort();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const StreamHead& a = all[i];
    if (a.start != pieceHeads[i].start || a.end != pieceHeads[i].end ||
        *a.bytes != *pieceHeads[i].bytes) {
      std::abort();
    }
    if (a.start < kStart || a.end < a.start || a.end > kStart + bytes.size()) std::abort();
    if (a.bytes->size() > HeadFinder::kMaxHeadBytes) std::abort();
  }
  return 0;
}
