// Finds the comment header of each new logical stream in an Ogg byte stream, so
// the engine can report a chained stream's song change with that stream's own
// comments (decoders tend to merge them with the previous stream's). Pure: the
// network thread feeds it the bytes as they arrive; tests and fuzzers drive it.
// Implemented in ogg_comments.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw::engine {

// Comment packets larger than this (cover art) are skipped.
inline constexpr std::size_t kMaxCommentPacket = 256 * 1024;

class OggCommentWatcher {
 public:
  // Appends, for each logical stream whose comment header `bytes` completes, its
  // comments ("key=value" each, in stream order) to *found. Bytes may arrive split
  // anywhere.
  void Feed(std::string_view bytes, std::vector<std::vector<std::string>>* found);

 private:
  void OnPage(std::string_view page, std::vector<std::vector<std::string>>* found);

  std::string pending_;  // an incomplete page, at most one page long
  uint32_t serial_ = 0;
  bool tracking_ = false;  // collecting the newest stream's header packets
  int packetIndex_ = 0;    // packets completed of that stream
  std::string packet_;     // the packet being assembled
  bool skipping_ = false;  // the packet outgrew kMaxCommentPacket
};

// Comments from a Vorbis-comment structure (vendor string, count, then
// length-prefixed "key=value" texts); empty on malformed input.
std::vector<std::string> ParseVorbisComments(std::string_view data);

}  // namespace tw::engine
