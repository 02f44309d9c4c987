// The older plain station list "radio.txt": one "Radioname;URL" line per station,
// converted into "favorites.cfg" at start and then renamed to "radio.old".
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

inline constexpr const char* kRadioTxtFileName = "radio.txt";
inline constexpr const char* kRadioOldFileName = "radio.old";
inline constexpr const char* kRadioTxtFormatError =
    "Error, check your radio.txt and the format:\r\nRadioname;URL";

struct RadioTxtEntry {
  std::string name;
  std::string url;
};

// "name;url[;ignored...]". Fields may be enclosed in double quotes, a doubled
// quote inside standing for one. nullopt when the line has no ";" (an empty line
// included).
std::optional<RadioTxtEntry> ParseRadioTxtLine(std::string_view line);

struct ImportResult {
  enum class Outcome { Imported, Malformed, WriteFailed, Unreadable } outcome;
  int stations = 0;   // sections written
  std::string error;  // WriteFailed, Unreadable: why, naming the file
};

// Converts folder/radio.txt into folder/favorites.cfg (sections "001" onwards,
// written over an existing file without removing anything else), then renames
// radio.txt to radio.old unless radio.old exists. A malformed line stops the
// import: the sections before it are saved, radio.txt keeps its name.
ImportResult ImportRadioTxt(const std::filesystem::path& folder);

}  // namespace tw
