#include "platform/song_title.h"

#include <string_view>

#include "platform/text.h"

namespace tw {

std::optional<std::string> TitleFromMetadata(const std::string& block) {
  constexpr std::string_view kKey = "StreamTitle=";
  const std::size_t key = block.find(kKey);
  if (key == std::string::npos) return std::nullopt;
  const std::size_t value = key + kKey.size();
  if (value >= block.size() || block[value] != '\'') {
    // No opening quote: the value runs to the next ";".
    const std::size_t end = block.find(';', value);
    return block.substr(value, end == std::string::npos ? std::string::npos : end - value);
  }
  const std::size_t start = value + 1;
  std::size_t end = block.find("';", start);
  if (end == std::string::npos) {
    end = block.rfind('\'');
    if (end < start) end = block.size();  // only the opening quote
  }
  return block.substr(start, end - start);
}

std::string TitleFromOggComments(const char* comments) {
  std::optional<std::string> artist, title;
  ForEachListEntry(comments, [&](std::string_view entry) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view name = entry.substr(0, equals);
    const std::string_view value = entry.substr(equals + 1);
    if (!artist && EqualNoCase(name, "artist")) artist = std::string(value);
    if (!title && EqualNoCase(name, "title")) title = std::string(value);
  });
  if (artist) return *artist + " - " + title.value_or("");
  return title.value_or("");
}

std::string TitleFromExtinf(const std::string& extinf) {
  const std::size_t comma = extinf.find(',');
  return comma == std::string::npos ? extinf : extinf.substr(comma + 1);
}

}  // namespace tw
