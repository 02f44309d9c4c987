// Shoutcast/Icecast in-stream metadata. A server that was sent "Icy-MetaData: 1"
// answers with an icy-metaint header and then interleaves: `metaint` bytes of
// audio, one length byte L, L * 16 bytes of metadata, `metaint` bytes of audio,
// and so on. Pure: no I/O, so the network thread feeds it and tests and fuzzers
// drive it directly. Implemented in icy.cpp.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::engine {

// The largest icy-metaint we accept. Servers use 8192 to 65536; a value in the
// millions is a broken or hostile header, and trusting it would mean the
// metadata is never found and its bytes are played as audio.
inline constexpr std::size_t kMaxMetaint = 1u << 20;

// The largest metadata block the format can express: a length byte of 255.
inline constexpr std::size_t kMaxIcyBlock = 255 * 16;

// The value of an icy-metaint header: a plain decimal number from 1 to
// kMaxMetaint, optionally surrounded by blanks (CR LF included). Anything else (signs, junk after
// the digits, zero, overflow) is nullopt and the stream is read without metadata.
std::optional<std::size_t> ParseMetaint(std::string_view headerValue);

// Separates audio from metadata blocks. Data may arrive split at any byte; the
// splitter keeps its place between calls. Memory it holds is at most one
// metadata block (kMaxIcyBlock bytes). Not thread-safe: one owner, the thread
// that reads the stream.
class IcySplitter {
 public:
  // metaint 0: the stream carries no metadata and everything is audio.
  explicit IcySplitter(std::size_t metaint) : metaint_(metaint), audioLeft_(metaint) {}

  // Appends the audio bytes of `in` to *audio and each metadata block completed
  // by `in` to *blocks, with the NUL padding at its end removed. A length byte
  // of 0, or a block that is nothing but padding, adds no block. A block whose
  // bytes have not all arrived yet waits for the next call.
  void Feed(std::string_view in, std::string* audio, std::vector<std::string>* blocks);

  // The same in stream order: onAudio gets each run of audio bytes and onBlock
  // each completed block, as they occur in `in`. A callback that returns false
  // stops the feed where it is, and Feed returns false.
  bool Feed(std::string_view in, const std::function<bool(std::string_view audio)>& onAudio,
            const std::function<bool(std::string block)>& onBlock);

  std::size_t metaint() const { return metaint_; }

 private:
  enum class Part { kAudio, kLength, kBlock };

  std::size_t metaint_;
  Part part_ = Part::kAudio;
  std::size_t audioLeft_;      // audio bytes before the next length byte
  std::size_t blockLeft_ = 0;  // metadata bytes still to come in this block
  std::string block_;          // the block so far; never above kMaxIcyBlock
};

}  // namespace tw::engine
