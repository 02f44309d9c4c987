// Station files for the tests: writing them, and reading back what a
// save left behind.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "stations/station_list.h"

namespace tw::test {

// The header comment the radio.txt import writes.
inline constexpr const char* kCommentSection =
    "[Comment]\r\n;Varnholt Tunewell Favorites File 0.1\r\n;converted with Plaintune 0.4=\r\n";

// Sections "001" onwards, as the player writes them.
inline std::string StationFile(const std::vector<Station>& stations) {
  std::string bytes;
  for (size_t i = 0; i < stations.size(); ++i) {
    bytes += "[" + StationSection(static_cast<int>(i) + 1) + "]\r\nPath=" + stations[i].url +
             "\r\nTitle=" + stations[i].name + "\r\nAudioNum=1\r\n";
  }
  return bytes;
}

// n stations "Station 1" .. "Station n" at "http://host/1" ...
inline std::vector<Station> NumberedStations(int n) {
  std::vector<Station> stations;
  for (int i = 1; i <= n; ++i) {
    stations.push_back({"Station " + std::to_string(i), "http://host/" + std::to_string(i)});
  }
  return stations;
}

// The section headers of a file in the order they appear, without brackets.
inline std::vector<std::string> SectionNames(const std::string& bytes) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == bytes.npos) end = bytes.size();
    const std::string line = bytes.substr(start, end - start);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      names.push_back(line.substr(1, line.size() - 2));
    }
    start = end + 2;
  }
  return names;
}

// What the main window lists after loading the file.
inline std::vector<Station> LoadedStations(const std::filesystem::path& file) {
  return ReadStations(IniFile(file));
}

}  // namespace tw::test

namespace tw {
inline bool operator==(const Station& a, const Station& b) {
  return a.name == b.name && a.url == b.url;
}
// So that failed comparisons show the stations.
inline void PrintTo(const Station& s, std::ostream* out) { *out << s.name << " <" << s.url << ">"; }
}  // namespace tw
