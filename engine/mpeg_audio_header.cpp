#include "engine/mpeg_audio_header.h"

namespace tw::engine {

namespace {

// kbit/s by [MPEG 1 or not][layer I, II, III][index 1..14].
constexpr uint16_t kBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
constexpr uint32_t kRates[3] = {44100, 48000, 32000};  // MPEG 1; halved for 2, quartered for 2.5

// Sync, version, layer and rate index.
constexpr uint32_t kStreamMask = 0xFFE00000u | (3u << 19) | (3u << 17) | (3u << 10);

}  // namespace

uint32_t MpegHeaderWord(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

std::optional<std::size_t> MpegFrameBytes(uint32_t header) {
  if ((header & 0xFFE00000u) != 0xFFE00000u) return std::nullopt;
  const uint32_t version = (header >> 19) & 3;    // 0: 2.5, 1: reserved, 2: MPEG 2, 3: MPEG 1
  const uint32_t layerBits = (header >> 17) & 3;  // 3: I, 2: II, 1: III, 0: reserved
  const uint32_t bitrateIndex = (header >> 12) & 15;
  const uint32_t rateIndex = (header >> 10) & 3;
  if (version == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
    return std::nullopt;
  }
  const bool mpeg1 = version == 3;
  const uint32_t layer = 4 - layerBits;  // 1..3
  const uint32_t bitrate = uint32_t{kBitrates[mpeg1 ? 0 : 1][layer - 1][bitrateIndex]} * 1000;
  const uint32_t rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const uint32_t padding = (header >> 9) & 1;
  if (layer == 1) return (12 * bitrate / rate + padding) * 4;
  // Layer III outside MPEG 1 carries half the samples per frame.
  const uint32_t factor = (layer == 3 && !mpeg1) ? 72 : 144;
  return factor * bitrate / rate + padding;
}

bool SameMpegStream(uint32_t a, uint32_t b) { return (a & kStreamMask) == (b & kStreamMask); }

bool MpegSuccessorConfirms(uint32_t frame, uint32_t next) {
  return MpegFrameBytes(next).has_value() && SameMpegStream(frame, next);
}

std::optional<std::size_t> FindMpegFrameStart(const uint8_t* frame, std::size_t size) {
  for (std::size_t at = 0; at + 4 <= size; ++at) {
    if (frame[at] != 0xFF) continue;
    const std::optional<std::size_t> bytes = MpegFrameBytes(MpegHeaderWord(frame + at));
    if (bytes && *bytes == size - at) return at;
  }
  return std::nullopt;
}

}  // namespace tw::engine
