// What a demuxer must read before it can start in the middle of a section of a
// stream (stream_heads.cpp): native FLAC's "fLaC" and metadata blocks, a
// fragmented MP4's init boxes, each Ogg logical stream's header pages. Raw
// MP3, ADTS and MPEG-TS need none. Fed the section's bytes as they arrive; pure, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tw::engine {

struct StreamHead {
  uint64_t start = 0;  // stream position of its first byte
  uint64_t end = 0;    // and just past its last
  std::shared_ptr<const std::string> bytes;
};

class HeadFinder {
 public:
  // A new section starts at this stream position; formatHint is its content
  // type (an Ogg station may start its first response mid-page).
  void Begin(uint64_t position, std::string_view formatHint = {});
  // The section's next bytes; heads completed by them go to *found.
  void Feed(std::string_view bytes, std::vector<StreamHead>* found);

  // A head larger than this is not one (a cover picture of megabytes is not
  // kept twice): FLAC keeps its stream info alone then, Ogg and MP4 none.
  static constexpr std::size_t kMaxHeadBytes = 1024 * 1024;

 private:
  enum class Kind { kUnknown, kNone, kFlac, kMp4, kOgg, kDone };
  void Decide();
  void FeedFlac(std::vector<StreamHead>* found);
  void FeedMp4(std::vector<StreamHead>* found);
  void FeedOgg(std::vector<StreamHead>* found);
  void Publish(uint64_t end, std::vector<StreamHead>* found);

  Kind kind_ = Kind::kNone;
  bool oggHint_ = false;
  uint64_t pendingStart_ = 0;  // stream position of pending_[0]
  std::string pending_;        // bytes not yet classified (FLAC, MP4: the head so far)
  // Ogg: the head being gathered, and whether audio pages followed the last one.
  std::string oggHead_;
  uint64_t oggHeadStart_ = 0;
  bool oggInHead_ = false;
};

}  // namespace tw::engine
