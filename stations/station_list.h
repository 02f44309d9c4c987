// The station list file "favorites.cfg": sections "001" to "999", each with the
// station's stream URL (Path) and name (Title).
#pragma once

#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace tw {

inline constexpr const char* kStationFileName = "favorites.cfg";
inline constexpr int kMaxStations = 999;

struct Station {
  std::string name;  // UTF-8
  std::string url;   // empty: the row plays nothing
};

// "%.3d": 1 -> "001", 1000 -> "1000".
std::string StationSection(int number);

// Name and URL are paired by section, so a section with only one of them never
// shifts the later stations onto other stations' URLs: a URL without a name is
// listed under its URL, a name without a URL is listed and plays nothing, and a
// section with neither is skipped.
std::vector<Station> ReadStations(const IniFile& file);

}  // namespace tw
