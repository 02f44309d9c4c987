#include "stations/radio_txt.h"

#include <system_error>

#include "platform/atomic_file.h"
#include "platform/ini_file.h"
#include "platform/rename_noreplace.h"
#include "platform/text.h"
#include "platform/text_codec.h"
#include "stations/station_list.h"

namespace tw {

namespace {

// The comment the import puts at the top of the station file; as a key with an
// empty value it lands in the file as two comment lines, the second ending in "=".
constexpr const char* kCommentKey =
    ";Varnholt Tunewell Favorites File 0.1\r\n;converted with Plaintune 0.4";

// One field starting at `pos`; leaves pos on the ";" after it or at the end.
std::string ReadField(std::string_view line, std::size_t& pos) {
  std::string field;
  if (pos < line.size() && line[pos] == '"') {
    ++pos;
    while (pos < line.size()) {
      char c = line[pos++];
      if (c != '"') {
        field += c;
      } else if (pos < line.size() && line[pos] == '"') {
        field += '"';
        ++pos;
      } else {
        break;  // closing quote
      }
    }
  }
  // Text after a closing quote (or an unquoted field) runs to the next ";".
  while (pos < line.size() && line[pos] != ';') field += line[pos++];
  return field;
}

}  // namespace

std::optional<RadioTxtEntry> ParseRadioTxtLine(std::string_view line) {
  std::size_t pos = 0;
  RadioTxtEntry entry;
  entry.name = ReadField(line, pos);
  if (pos >= line.size()) return std::nullopt;  // no second field
  ++pos;
  entry.url = ReadField(line, pos);
  return entry;
}

ImportResult ImportRadioTxt(const std::filesystem::path& folder) {
  std::string bytes, error;
  if (!ReadWholeFile(folder / kRadioTxtFileName, &bytes, &error)) {
    return {ImportResult::Outcome::Unreadable, 0, error};
  }
  const std::string text = DecodeText(bytes).utf8;

  IniFile stations(folder / kStationFileName);
  if (!stations.error().empty()) {
    // Writing over a file we could not read would lose its other sections.
    return {ImportResult::Outcome::WriteFailed, 0, stations.error()};
  }
  stations.WriteString("Comment", kCommentKey, "");

  ImportResult result{ImportResult::Outcome::Imported, 0, {}};
  for (std::string_view line : SplitLines(text)) {
    std::optional<RadioTxtEntry> entry = ParseRadioTxtLine(line);
    if (!entry) {
      result.outcome = ImportResult::Outcome::Malformed;
      break;
    }
    const std::string section = StationSection(result.stations + 1);
    stations.WriteString(section, "Path", entry->url);
    stations.WriteString(section, "Title", entry->name);
    stations.WriteString(section, "AudioNum", "1");
    ++result.stations;
  }
  if (!stations.Save(&error)) return {ImportResult::Outcome::WriteFailed, result.stations, error};
  if (result.outcome != ImportResult::Outcome::Imported) return result;

  // Never replaces an existing radio.old; then radio.txt stays and is imported
  // again at the next start.
  std::error_code ignored;
  RenameNoReplace(folder / kRadioTxtFileName, folder / kRadioOldFileName, ignored);
  return result;
}

}  // namespace tw
