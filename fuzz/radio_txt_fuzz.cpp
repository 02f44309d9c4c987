// The "radio.txt" reader on arbitrary files: lines split without losing or
// inventing text, "Radioname;URL" fields as described, and every imported
// station read back from the station file as it was written.
// Input: the file's bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_file.h"
#include "platform/ini_file.h"
#include "platform/text.h"
#include "platform/text_codec.h"
#include "stations/radio_txt.h"
#include "stations/station_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text =
      tw::DecodeText(std::string_view(reinterpret_cast<const char*>(data), size)).utf8;
  const std::vector<std::string_view> lines = tw::SplitLines(text);

  // The lines, in order, are the text without its line ends.
  std::size_t at = 0;
  for (std::string_view line : lines) {
    if (line.find_first_of("\r\n") != line.npos) __builtin_trap();
    if (text.compare(at, line.size(), line) != 0) __builtin_trap();
    at += line.size();
    if (at < text.size()) at += text.compare(at, 2, "\r\n") == 0 ? 2 : 1;
  }
  if (at != text.size()) __builtin_trap();

  // As the import does, into a station file that does not exist yet.
  tw::IniFile stations("/nonexistent-tunewell-fuzz/favorites.cfg");
  std::vector<tw::RadioTxtEntry> entries;
  for (std::string_view line : lines) {
    const std::optional<tw::RadioTxtEntry> entry = tw::ParseRadioTxtLine(line);
    if (entry.has_value() != (line.find(';') != line.npos)) {
      // Only a ';' inside quotes may be no separator.
      if (entry || line.find('"') == line.npos) __builtin_trap();
    }
    if (!entry) break;
    if (line.find('"') == line.npos) {
      const std::size_t semicolon = line.find(';');
      const std::string_view rest = line.substr(semicolon + 1);
      if (entry->name != line.substr(0, semicolon) ||
          entry->url != rest.substr(0, rest.find(';'))) {
        __builtin_trap();
      }
    }
    if (entries.size() == tw::kMaxStations) break;
    const std::string section = tw::StationSection(static_cast<int>(entries.size()) + 1);
    stations.WriteString(section, "Path", entry->url);
    stations.WriteString(section, "Title", entry->name);
    stations.WriteString(section, "AudioNum", "1");
    entries.push_back(*entry);
  }

  const tw::fuzz::MemoryFile saved(stations.Serialize());
  const std::vector<tw::Station> read = tw::ReadStations(tw::IniFile(saved.path()));
  std::size_t next = 0;
  for (const tw::RadioTxtEntry& entry : entries) {
    // A line break cannot be in a line; blanks and quotes around a value are
    // the file format's own.
    tw::Station expected{tw::fuzz::AsReadBack(entry.name), tw::fuzz::AsReadBack(entry.url)};
    if (expected.name.empty() && expected.url.empty()) continue;
    if (expected.name.empty()) expected.name = expected.url;
    if (next >= read.size() || read[next].name != expected.name || read[next].url != expected.url) {
      __builtin_trap();
    }
    ++next;
  }
  if (next != read.size()) __builtin_trap();
  return 0;
}
