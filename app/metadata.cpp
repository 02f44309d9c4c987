#include "app/metadata.h"

#include <cstring>
#include <string_view>

#include "platform/text.h"

namespace tw {

std::vector<StatusSend> HeaderWalk(const char* headers) {
  std::vector<StatusSend> sends;
  ForEachListEntry(headers, [&](std::string_view entry) {
    if (entry.starts_with("icy-name:")) {
      sends.push_back({3, std::string(entry.substr(9))});
    } else if (entry.starts_with("icy-br:")) {
      sends.push_back({4, "bitrate: " + std::string(entry.substr(7))});
    }
  });
  return sends;
}

std::vector<std::string> TitleSends(const char* metadata, const char* ogg, const char* extinf) {
  std::vector<std::string> sends;
  if (metadata) {
    std::optional<std::string> title = TitleFromMetadata(metadata);
    if (!title) return sends;
    sends.push_back(std::move(*title));
  } else if (ogg) {
    sends.push_back(TitleFromOggComments(ogg));
    return sends;
  }
  if (extinf && *extinf) sends.push_back(TitleFromExtinf(extinf));
  return sends;
}

}  // namespace tw
