#include "engine/icy.h"

#include <algorithm>
#include <charconv>

#include "platform/text.h"

namespace tw::engine {

std::optional<std::size_t> ParseMetaint(std::string_view headerValue) {
  headerValue = TrimAsciiSpace(headerValue);  // header lines arrive with their CR LF
  // A digit first: "+8192", "-1" and " 8192" with inner blanks are all refused.
  if (headerValue.empty() || headerValue.front() < '0' || headerValue.front() > '9') {
    return std::nullopt;
  }
  std::size_t value = 0;
  const char* end = headerValue.data() + headerValue.size();
  auto [ptr, ec] = std::from_chars(headerValue.data(), end, value);
  if (ec != std::errc() || ptr != end || value == 0 || value > kMaxMetaint) return std::nullopt;
  return value;
}

void IcySplitter::Feed(std::string_view in, std::string* audio, std::vector<std::string>* blocks) {
  Feed(
      in,
      [audio](std::string_view bytes) {
        audio->append(bytes);
        return true;
      },
      [blocks](std::string block) {
        blocks->push_back(std::move(block));
        return true;
      });
}

bool IcySplitter::Feed(std::string_view in, const std::function<bool(std::string_view)>& onAudio,
                       const std::function<bool(std::string)>& onBlock) {
  if (metaint_ == 0) return onAudio(in);
  while (!in.empty()) {
    switch (part_) {
      case Part::kAudio: {
        std::size_t n = std::min(audioLeft_, in.size());
        const std::string_view bytes = in.substr(0, n);
        in.remove_prefix(n);
        audioLeft_ -= n;
        if (audioLeft_ == 0) part_ = Part::kLength;
        if (!onAudio(bytes)) return false;
        break;
      }
      case Part::kLength: {
        blockLeft_ = static_cast<unsigned char>(in.front()) * std::size_t{16};
        in.remove_prefix(1);
        block_.clear();
        audioLeft_ = metaint_;
        part_ = blockLeft_ == 0 ? Part::kAudio : Part::kBlock;
        break;
      }
      case Part::kBlock: {
        std::size_t n = std::min(blockLeft_, in.size());
        block_.append(in.substr(0, n));
        in.remove_prefix(n);
        blockLeft_ -= n;
        if (blockLeft_ == 0) {
          part_ = Part::kAudio;
          std::size_t used = block_.find_last_not_of('\0');
          std::string block = std::move(block_);
          block_ = std::string();
          if (used != std::string::npos) {
            block.resize(used + 1);
            if (!onBlock(std::move(block))) return false;
          }
        }
        break;
      }
    }
  }
  return true;
}

}  // namespace tw::engine
