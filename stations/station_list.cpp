#include "stations/station_list.h"

#include <cstdio>

namespace tw {

std::string StationSection(int number) {
  char name[16];
  std::snprintf(name, sizeof name, "%.3d", number);
  return name;
}

std::vector<Station> ReadStations(const IniFile& file) {
  std::vector<Station> stations;
  for (int i = 1; i <= kMaxStations; ++i) {
    const std::string section = StationSection(i);
    Station station{file.ReadString(section, "Title", ""), file.ReadString(section, "Path", "")};
    if (station.name.empty() && station.url.empty()) continue;
    if (station.name.empty()) station.name = station.url;
    stations.push_back(std::move(station));
  }
  return stations;
}

}  // namespace tw
