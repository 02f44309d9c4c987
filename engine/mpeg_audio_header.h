// MPEG audio (layers I to III, MPEG 1, 2 and 2.5) frame headers. A raw MP3
// stream has no container: what tells a station from junk that happens to hold
// a header-like word is that each frame's header says how long the frame is and
// the next header sits exactly there, agreeing on version, layer and rate.
// Pure, so tests drive it directly. Implemented in mpeg_audio_header.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tw::engine {

// The four header bytes as one big-endian word.
uint32_t MpegHeaderWord(const uint8_t* bytes);

// The length in bytes of the frame this header starts, header included; nullopt
// when the word is not a usable header (no sync, reserved version, layer, rate
// or bitrate index, or free format, whose length the header does not give).
std::optional<std::size_t> MpegFrameBytes(uint32_t header);

// Whether two headers can belong to one stream: same version, layer and rate.
bool SameMpegStream(uint32_t a, uint32_t b);

// The trust gate of raw MP3: a clean frame is a station's, not junk that
// happened to decode, once the header that follows it where its length says
// (`next`) is a usable header of the same stream as the frame's (`frame`).
bool MpegSuccessorConfirms(uint32_t frame, uint32_t next);

// Where in `frame` (a frame as a parser hands it out, perhaps after bytes that
// preceded the stream's first header) the header lies whose frame ends exactly
// at the end of `frame`; nullopt when none does.
std::optional<std::size_t> FindMpegFrameStart(const uint8_t* frame, std::size_t size);

}  // namespace tw::engine
