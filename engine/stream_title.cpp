#include "engine/stream_title.h"

#include "engine/engine.h"
#include "platform/song_title.h"

namespace tw::engine {

std::optional<std::string> TitleOfTag(uint32_t tagType, std::string_view text) {
  switch (tagType) {
    case BASS_TAG_META:
      return TitleFromMetadata(std::string(text));
    case BASS_TAG_OGG: {
      // Two NULs after the copy end the list even when the engine's text
      // carries no closing empty entry of its own.
      std::string list(text);
      list.append(2, '\0');
      return TitleFromOggComments(list.c_str());
    }
    case BASS_TAG_HLS_EXTINF:
      return TitleFromExtinf(std::string(text));
    default:
      return std::nullopt;
  }
}

}  // namespace tw::engine
