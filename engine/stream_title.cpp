#include "engine/stream_title.h"

#include "engine/engine.h"
#include "platform/text.h"

namespace tw::engine {

namespace {

std::optional<std::string> FromMetadata(std::string_view block) {
  constexpr std::string_view kKey = "StreamTitle=";
  const std::size_t key = block.find(kKey);
  if (key == std::string_view::npos) return std::nullopt;
  const std::size_t value = key + kKey.size();
  if (value >= block.size() || block[value] != '\'') {
    const std::size_t end = block.find(';', value);
    return std::string(block.substr(value, end == std::string_view::npos ? end : end - value));
  }
  const std::size_t start = value + 1;
  std::size_t end = block.find("';", start);
  if (end == std::string_view::npos) {
    end = block.rfind('\'');
    if (end < start) end = block.size();
  }
  return std::string(block.substr(start, end - start));
}

std::string FromOggComments(std::string_view list) {
  std::optional<std::string> artist, title;
  while (!list.empty()) {
    const std::size_t nul = list.find('\0');
    const std::string_view entry = list.substr(0, nul);
    list.remove_prefix(nul == std::string_view::npos ? list.size() : nul + 1);
    if (entry.empty()) break;
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = entry.substr(0, equals);
    const std::string_view value = entry.substr(equals + 1);
    if (!artist && EqualNoCase(name, "artist")) artist = std::string(value);
    if (!title && EqualNoCase(name, "title")) title = std::string(value);
  }
  if (artist) return *artist + " - " + title.value_or("");
  return title.value_or("");
}

}  // namespace

std::optional<std::string> TitleOfTag(uint32_t tagType, std::string_view text) {
  switch (tagType) {
    case BASS_TAG_META:
      return FromMetadata(text);
    case BASS_TAG_OGG:
      return FromOggComments(text);
    case BASS_TAG_HLS_EXTINF: {
      const std::size_t comma = text.find(',');
      return std::string(comma == std::string_view::npos ? text : text.substr(comma + 1));
    }
    default:
      return std::nullopt;
  }
}

}  // namespace tw::engine
