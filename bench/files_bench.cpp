// CPU time of loading and saving the station file as it grows: the main window's
// load (the file read, then sections "001" to "999" looked up) and the editor's
// save (sections erased and written again, one atomic write), on generated files:
// 999 stations of 2047-character values, and 10 and 300 stations among 5 MB and
// 50 MB of other lines. Reference: reading the same bytes and writing them back
// atomically, the least a load and a save can cost.
// Targets: the 999 stations load and save in under 0.3 s each; 50 MB in under 2 s.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/atomic_file.h"
#include "platform/ini_file.h"
#include "stations/station_list.h"
#include "stations/station_save.h"
#include "tests/support/temp_folder.h"

namespace {

using tw::bench::CpuSeconds;
using tw::bench::Median;

constexpr int kRuns = 3;

struct Shape {
  const char* what;
  int stations;
  std::size_t valueLength;  // of Path and Title
  std::size_t fillerBytes;  // short "key=value" lines in a section after each station
};

// CR LF text as the editor writes it, with a notes section of short lines after
// each station, as another program might keep in the same file.
std::string MakeFile(const Shape& shape) {
  std::string text =
      "[Comment]\r\n;Varnholt Tunewell Favorites File 0.1\r\n"
      ";converted with Plaintune 0.4=\r\n";
  const std::size_t fillerPerStation = shape.fillerBytes / static_cast<std::size_t>(shape.stations);
  for (int i = 1; i <= shape.stations; ++i) {
    const std::string section = tw::StationSection(i);
    std::string path = "http://127.0.0.1/" + section + "/";
    path.resize(shape.valueLength, 'p');
    std::string title = "Station " + section + " ";
    title.resize(shape.valueLength, 't');
    text += "[" + section + "]\r\nPath=" + path + "\r\nTitle=" + title + "\r\nAudioNum=1\r\n";
    if (fillerPerStation == 0) continue;
    text += "[Notes " + section + "]\r\n";
    const std::size_t end = text.size() + fillerPerStation;
    for (int line = 0; text.size() < end; ++line) {
      text += "note" + std::to_string(line) + "=listened on a Sunday\r\n";
    }
  }
  return text;
}

struct Figures {
  double load, save, read, write;
};

Figures Measure(const Shape& shape) {
  const std::string bytes = MakeFile(shape);
  std::vector<double> load, save, read, write;
  for (int run = 0; run < kRuns; ++run) {
    tw::test::TempFolder folder;
    const auto file = folder / tw::kStationFileName;
    folder.Write(tw::kStationFileName, bytes);

    double start = CpuSeconds();
    std::vector<tw::Station> stations = tw::ReadStations(tw::IniFile(file));
    load.push_back(CpuSeconds() - start);
    if (stations.size() != static_cast<std::size_t>(shape.stations)) {
      std::printf("  loaded %zu stations instead of %d\n", stations.size(), shape.stations);
    }

    std::string error;
    start = CpuSeconds();
    if (!tw::SaveStations(folder.path(), stations, &error)) std::printf("  %s\n", error.c_str());
    save.push_back(CpuSeconds() - start);

    std::string again;
    start = CpuSeconds();
    tw::ReadWholeFile(file, &again, &error);
    read.push_back(CpuSeconds() - start);
    start = CpuSeconds();
    tw::WriteFileAtomically(file, again, &error);
    write.push_back(CpuSeconds() - start);
  }
  return {Median(load), Median(save), Median(read), Median(write)};
}

}  // namespace

int main() {
  const Shape shapes[] = {
      {"999 stations, 2047-character values", 999, 2047, 0},
      {"10 stations in 5 MB", 10, 40, 5'000'000},
      {"300 stations in 50 MB", 300, 40, 50'000'000},
  };
  std::printf(
      "Station file, CPU seconds, median of %d runs (reference: the bytes read, and "
      "written back atomically)\n",
      kRuns);
  std::printf("%-38s %10s %10s %10s %10s\n", "file", "load", "read", "save", "write");
  for (const Shape& shape : shapes) {
    const Figures f = Measure(shape);
    std::printf("%-38s %10.3f %10.3f %10.3f %10.3f\n", shape.what, f.load, f.read, f.save, f.write);
    std::fflush(stdout);
  }
  return 0;
}
