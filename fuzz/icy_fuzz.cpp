// The ICY splitter on arbitrary bytes: the result must not depend on how the
// network cut the data, and blocks must stay within what a length byte allows.
// Input: metaint byte, piece-size seed byte, then the stream.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/icy.h"

using tw::engine::IcySplitter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // Small metaints put many length bytes into a short input.
  const std::size_t metaint = data[0] % 64;
  std::uint32_t random = data[1] * 2654435761u + 1;
  std::string_view wire(reinterpret_cast<const char*>(data + 2), size - 2);

  IcySplitter whole(metaint);
  std::string audio;
  std::vector<std::string> blocks;
  whole.Feed(wire, &audio, &blocks);

  IcySplitter pieces(metaint);
  std::string pieceAudio;
  std::vector<std::string> pieceBlocks;
  for (std::string_view rest = wire; !rest.empty();) {
    random = random * 1664525u + 1013904223u;
    std::size_t n = (random >> 24) % 70;  // 0 included: an empty read is legal
    n = n < rest.size() ? n : rest.size();
    pieces.Feed(rest.substr(0, n), &pieceAudio, &pieceBlocks);
    rest.remove_prefix(n);
  }
  if (pieceAudio != audio || pieceBlocks != blocks) __builtin_trap();

  std::size_t out = audio.size();
  for (const std::string& block : blocks) {
    if (block.empty() || block.size() > tw::engine::kMaxIcyBlock || block.back() == '\0') {
      __builtin_trap();
    }
    out += block.size();
  }
  if (out > wire.size()) __builtin_trap();
  if (metaint == 0 && audio != wire) __builtin_trap();

  // The same bytes as an icy-metaint header value.
  if (auto value = tw::engine::ParseMetaint(wire)) {
    if (*value == 0 || *value > tw::engine::kMaxMetaint) __builtin_trap();
  }
  return 0;
}
