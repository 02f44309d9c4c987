// The station directory's answers on arbitrary bytes: no crash, and nothing the
// editor could add is other than an http(s) address; shown text is valid UTF-8
// without control characters, within its length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "stations/directory_protocol.h"

namespace {

void CheckText(const std::string& text) {
  if (tw::ValidUtf8(text) != text) __builtin_trap();
  if (tw::Utf8Length(text) > tw::kMaxDirectoryTextChars) __builtin_trap();
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const tw::DirectoryPage page = tw::ParseSearchAnswer(bytes);
  if (!page.valid && (!page.stations.empty() || page.entries != 0)) __builtin_trap();
  if (page.stations.size() > page.entries) __builtin_trap();
  for (const tw::FoundStation& station : page.stations) {
    if (station.url.empty() == station.reason.empty()) __builtin_trap();
    if (!station.url.empty() && !tw::IsWebStreamUrl(station.url)) __builtin_trap();
    if (station.bitrate < 0 || station.votes < 0) __builtin_trap();
    for (const std::string* text : {&station.name, &station.country, &station.codec, &station.tags})
      CheckText(*text);
  }
  // The bytes as a text field and as the two addresses.
  CheckText(tw::CleanDirectoryText(tw::ValidUtf8(bytes), tw::kMaxDirectoryTextChars));
  const std::size_t half = bytes.size() / 2;
  const tw::StreamChoice choice = tw::ChooseStreamUrl(bytes.substr(0, half), bytes.substr(half));
  if (!choice.url.empty() && !tw::IsWebStreamUrl(choice.url)) __builtin_trap();
  return 0;
}
