// Writing the editor's station list back to "favorites.cfg".
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "stations/station_list.h"

namespace tw {

inline constexpr const char* kStationBackupFileName = "favorites.cfg.bak";

// Makes backup hold what file holds now, never replacing a backup that is there
// (error EEXIST then). file itself stays where it is, so a save that follows and
// fails still leaves the old list in place.
bool BackUpWithoutReplacing(const std::filesystem::path& file, const std::filesystem::path& backup,
                            std::error_code& error);

// Writes stations to "favorites.cfg" in folder as sections "001" to "N" in order,
// each with Path, Title and AudioNum=1. Every other section the loader would
// read as a station goes, so removed stations never come back; other sections
// (Comment) stay as they are. Before the first save that finds no
// "favorites.cfg.bak", the old file is kept there. The new file replaces the old
// one whole. More than 999 stations, which the loader would not read back, are
// refused. On failure returns false with *error naming the file, which keeps
// the old list.
bool SaveStations(const std::filesystem::path& folder, const std::vector<Station>& stations,
                  std::string* error);

namespace detail {
// How BackUpWithoutReplacing copies where the file system has no hard links.
// Declared here so that tests can reach it on any file system.
bool CopyWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                          std::error_code& error);
}  // namespace detail

}  // namespace tw
