#include "engine/stream_heads.h"

#include <algorithm>
#include <cstring>

namespace tw::engine {

namespace {

uint32_t Big32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

int64_t Little64(const char* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(p[i]);
  return static_cast<int64_t>(value);
}

constexpr std::size_t kOggHeader = 27;

}  // namespace

void HeadFinder::Begin(uint64_t position, std::string_view formatHint) {
  kind_ = Kind::kUnknown;
  oggHint_ = formatHint.find("ogg") != std::string_view::npos ||
             formatHint.find("opus") != std::string_view::npos ||
             formatHint.find("vorbis") != std::string_view::npos;
  pendingStart_ = position;
  pending_.clear();
  oggHead_.clear();
  oggInHead_ = false;
}

void HeadFinder::Feed(std::string_view bytes, std::vector<StreamHead>* found) {
  if (kind_ == Kind::kNone || kind_ == Kind::kDone || bytes.empty()) return;
  pending_.append(bytes);
  if (kind_ == Kind::kUnknown) Decide();
  switch (kind_) {
    case Kind::kFlac:
      FeedFlac(found);
      break;
    case Kind::kMp4:
      FeedMp4(found);
      break;
    case Kind::kOgg:
      FeedOgg(found);
      break;
    default:
      break;
  }
  if (kind_ == Kind::kNone || kind_ == Kind::kDone) pending_ = {};
}

void HeadFinder::Decide() {
  if (pending_.size() < 8) return;
  if (pending_.starts_with("fLaC")) {
    kind_ = Kind::kFlac;
  } else if (std::memcmp(pending_.data() + 4, "ftyp", 4) == 0) {
    kind_ = Kind::kMp4;
  } else if (pending_.starts_with("OggS") || oggHint_) {
    kind_ = Kind::kOgg;
  } else {
    kind_ = Kind::kNone;
  }
}

void HeadFinder::Publish(uint64_t end, std::vector<StreamHead>* found) {
  found->push_back(
      {pendingStart_, end, std::make_shared<const std::string>(pending_, 0, end - pendingStart_)});
  kind_ = Kind::kDone;
}

// "fLaC", then metadata blocks (a 4-byte header: last-block flag, type, 24-bit
// length) up to the one flagged last.
void HeadFinder::FeedFlac(std::vector<StreamHead>* found) {
  // The stream info block, when the blocks after it are too large to keep twice.
  constexpr std::size_t kInfo = 4 + 4 + 34;
  std::size_t at = 4;
  while (at + 4 <= pending_.size()) {
    const uint32_t header = Big32(pending_.data() + at);
    at += 4 + (header & 0xFFFFFF);
    if (at > kMaxHeadBytes) {
      // Pictures too large to keep twice: the stream info block alone, marked last.
      if (pending_.size() < kInfo) return;
      std::string head = pending_.substr(0, kInfo);
      head[4] = static_cast<char>(head[4] | 0x80);
      found->push_back(
          {pendingStart_, pendingStart_ + kInfo, std::make_shared<const std::string>(head)});
      kind_ = Kind::kDone;
      return;
    }
    if (at > pending_.size()) return;
    if (header & 0x80000000u) {
      Publish(pendingStart_ + at, found);
      return;
    }
  }
}

// Boxes (32-bit size, type) up to the first fragment.
void HeadFinder::FeedMp4(std::vector<StreamHead>* found) {
  std::size_t at = 0;
  while (at + 8 <= pending_.size()) {
    const std::string_view type(pending_.data() + at + 4, 4);
    if (type == "moof" || type == "styp" || type == "sidx" || type == "mdat" || type == "emsg") {
      Publish(pendingStart_ + at, found);
      return;
    }
    const uint32_t size = Big32(pending_.data() + at);
    at += size;
    if (size < 8 || at > kMaxHeadBytes) {
      kind_ = Kind::kNone;  // not boxes, or not a head worth keeping
      return;
    }
  }
}

// Pages: "OggS", version, flags (2: first page of a logical stream), granule
// position, serial, sequence, checksum, segment count and table, body. A head
// is the first pages of a logical stream up to its first page of audio (whose
// granule position is past 0).
void HeadFinder::FeedOgg(std::vector<StreamHead>* found) {
  std::size_t at = 0;
  for (;;) {
    const std::size_t sync = pending_.find("OggS", at);
    if (sync == std::string::npos) {
      // Keep what could be the start of a sync word, never bytes already read.
      at = std::max(at, pending_.size() > 3 ? pending_.size() - 3 : 0);
      break;
    }
    at = sync;
    if (at + kOggHeader > pending_.size()) break;
    const auto segments = static_cast<unsigned char>(pending_[at + 26]);
    if (at + kOggHeader + segments > pending_.size()) break;
    std::size_t body = 0;
    for (std::size_t i = 0; i < segments; ++i) {
      body += static_cast<unsigned char>(pending_[at + kOggHeader + i]);
    }
    const std::size_t pageBytes = kOggHeader + segments + body;
    if (at + pageBytes > pending_.size()) break;
    const uint64_t pageStart = pendingStart_ + at;
    const bool first = (pending_[at + 5] & 2) != 0;
    const int64_t granule = Little64(pending_.data() + at + 6);
    if (first && !oggInHead_) {
      oggInHead_ = true;
      oggHeadStart_ = pageStart;
      oggHead_.clear();
    }
    if (oggInHead_ && (first || granule == 0 || granule == -1)) {
      if (oggHead_.size() + pageBytes > kMaxHeadBytes) {
        oggInHead_ = false;  // not kept: a save from inside this stream is refused
      } else {
        oggHead_.append(pending_, at, pageBytes);
      }
    } else if (oggInHead_) {
      oggInHead_ = false;
      found->push_back(
          {oggHeadStart_, pageStart, std::make_shared<const std::string>(std::move(oggHead_))});
      oggHead_.clear();
    }
    at += pageBytes;
  }
  pendingStart_ += at;
  pending_.erase(0, at);
}

}  // namespace tw::engine
