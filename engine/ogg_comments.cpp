#include "engine/ogg_comments.h"

#include <array>
#include <cstring>

namespace tw::engine {

namespace {

constexpr std::size_t kPageHeader = 27;
constexpr std::size_t kMaxPage = kPageHeader + 255 + 255 * 255;
// Comment entries beyond this many are ignored.
constexpr uint32_t kMaxComments = 1024;

uint32_t Le32(const char* p) {
  return static_cast<uint32_t>(static_cast<unsigned char>(p[0])) |
         static_cast<uint32_t>(static_cast<unsigned char>(p[1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(p[2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(p[3])) << 24;
}

// The Vorbis-comment structure inside a stream's comment packet, by codec.
std::string_view CommentBody(std::string_view packet) {
  if (packet.starts_with("\x03vorbis")) return packet.substr(7);
  if (packet.starts_with("OpusTags")) return packet.substr(8);
  // FLAC in Ogg: a metadata block header (type 4 = VORBIS_COMMENT, 24-bit length).
  if (!packet.empty() && (static_cast<unsigned char>(packet[0]) & 0x7F) == 4 &&
      packet.size() >= 4) {
    return packet.substr(4);
  }
  return {};
}

// Ogg's page checksum: CRC-32, polynomial 0x04C11DB7, no reflection, with the
// checksum field taken as zero. "OggS" also occurs inside audio data; only a page
// whose checksum matches is a page.
uint32_t OggCrc(std::string_view page) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t r = i << 24;
      for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  uint32_t crc = 0;
  for (std::size_t i = 0; i < page.size(); ++i) {
    const auto byte = (i >= 22 && i < 26) ? 0u : static_cast<unsigned char>(page[i]);
    crc = (crc << 8) ^ table[((crc >> 24) ^ byte) & 0xFF];
  }
  return crc;
}

}  // namespace

std::vector<std::string> ParseVorbisComments(std::string_view data) {
  std::vector<std::string> comments;
  if (data.size() < 8) return comments;
  const uint32_t vendor = Le32(data.data());
  if (vendor > data.size() - 8) return {};
  std::size_t at = 4 + vendor;
  const uint32_t count = Le32(data.data() + at);
  at += 4;
  for (uint32_t i = 0; i < count && i < kMaxComments; ++i) {
    if (data.size() - at < 4) return comments;
    const uint32_t length = Le32(data.data() + at);
    at += 4;
    if (length > data.size() - at) return comments;
    comments.emplace_back(data.substr(at, length));
    at += length;
  }
  return comments;
}

void OggCommentWatcher::Feed(std::string_view bytes, std::vector<std::vector<std::string>>* found) {
  pending_.append(bytes);
  std::size_t at = 0;
  for (;;) {
    const std::size_t start = pending_.find("OggS", at);
    if (start == std::string::npos) {
      // Keep a possible partial capture pattern only.
      at = pending_.size() > 3 ? pending_.size() - 3 : 0;
      break;
    }
    if (pending_.size() - start < kPageHeader) {
      at = start;
      break;
    }
    const auto segments = static_cast<unsigned char>(pending_[start + 26]);
    if (pending_.size() - start < kPageHeader + segments) {
      at = start;
      break;
    }
    std::size_t body = 0;
    for (std::size_t i = 0; i < segments; ++i) {
      body += static_cast<unsigned char>(pending_[start + kPageHeader + i]);
    }
    const std::size_t length = kPageHeader + segments + body;
    if (pending_.size() - start < length) {
      at = start;
      break;
    }
    std::string_view page = std::string_view(pending_).substr(start, length);
    if (pending_[start + 4] != 0 || OggCrc(page) != Le32(page.data() + 22)) {
      at = start + 1;  // not a page: "OggS" inside other data
      continue;
    }
    OnPage(page, found);
    at = start + length;
  }
  pending_.erase(0, at);
  if (pending_.size() > kMaxPage) pending_.erase(0, pending_.size() - kMaxPage);
}

void OggCommentWatcher::OnPage(std::string_view page,
                               std::vector<std::vector<std::string>>* found) {
  const auto type = static_cast<unsigned char>(page[5]);
  const uint32_t serial = Le32(page.data() + 14);
  if (type & 0x02) {  // beginning of a logical stream: a new song in a chain
    serial_ = serial;
    tracking_ = true;
    packetIndex_ = 0;
    packet_.clear();
    skipping_ = false;
  }
  if (!tracking_ || serial != serial_) return;
  const auto segments = static_cast<unsigned char>(page[26]);
  std::size_t data = kPageHeader + segments;
  for (std::size_t i = 0; i < segments && tracking_; ++i) {
    const auto lace = static_cast<unsigned char>(page[kPageHeader + i]);
    if (!skipping_) packet_.append(page.substr(data, lace));
    if (packet_.size() > kMaxCommentPacket) {
      skipping_ = true;
      packet_.clear();
    }
    data += lace;
    if (lace == 255) continue;  // the packet goes on
    // Packet complete. Vorbis, Opus and FLAC-in-Ogg all put the comments in the
    // second packet of the stream.
    if (++packetIndex_ == 2) {
      if (!skipping_) {
        std::string_view body = CommentBody(packet_);
        if (!body.empty()) found->push_back(ParseVorbisComments(body));
      }
      tracking_ = false;
    }
    packet_.clear();
    skipping_ = false;
  }
}

}  // namespace tw::engine
