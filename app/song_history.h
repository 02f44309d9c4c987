// The song history: every title the panel showed, with the time and the station,
// kept across restarts in "song_history.tsv" in the files folder. Plain C++: the
// rules, the file's format and its bounded reader; song_history_writer writes it.
//
// The file is UTF-8 text, one entry a line, oldest first, after a first line
// that names the format:
//   # Tunewell song history 1: local time, station, title (tab-separated)
//   2026-12-09T21:03:05+01:00<TAB>Radio Paradise<TAB>Artist - Title
// Tabs, line breaks and backslashes inside a field are written "\t", "\n",
// "\r" and "\\". Lines that do not read as an entry are passed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

inline constexpr const char* kSongHistoryFileName = "song_history.tsv";
// The newest entries kept; older ones drop off.
inline constexpr std::size_t kSongHistoryLimit = 1000;
// Longer fields are cut (at a character boundary), so the file stays small
// whatever a station sends: 1,000 entries stay under 6 MB.
inline constexpr std::size_t kSongHistoryTitleBytes = 2048;
inline constexpr std::size_t kSongHistoryStationBytes = 512;
// A reader looks at the file's last bytes only: a file of any size costs this
// much, and a whole history of cut fields fits.
inline constexpr std::size_t kSongHistoryReadBytes = 6 * 1024 * 1024;

struct SongEntry {
  int64_t time = 0;     // seconds since 1970, UTC
  int utcOffset = 0;    // the local time's offset then, in seconds east of UTC
  std::string station;  // UTF-8, as the panel showed it
  std::string title;    // UTF-8, as the panel showed it

  bool operator==(const SongEntry&) const = default;
};

// The history in memory, oldest first. UI thread.
class SongHistory {
 public:
  // Adds the entry unless its title is empty or equals the newest entry of the
  // same station; cuts long fields and drops the oldest past the limit. Returns
  // whether it was added.
  bool Add(SongEntry entry);
  // The newest entry, when it is `title`, under `station` instead: a title can
  // come before the station's own name does. Returns whether it changed.
  bool Restation(const std::string& title, std::string station);
  void Assign(std::vector<SongEntry> entries);
  const std::vector<SongEntry>& entries() const { return entries_; }

 private:
  std::vector<SongEntry> entries_;
};

// The file's text for these entries (the newest kSongHistoryLimit of them).
std::string SongHistoryText(const std::vector<SongEntry>& entries);
// The entries the text holds, oldest first: the newest kSongHistoryLimit lines
// that read as entries (a header, blank, binary or foreign line is passed over,
// and so is a last line without its line end: it was cut off).
std::vector<SongEntry> ParseSongHistory(std::string_view text);
// Reads the file's last kSongHistoryReadBytes and parses them. A missing or
// unreadable file gives no entries.
std::vector<SongEntry> ReadSongHistoryFile(const std::filesystem::path& path);

// "2026-12-09T21:03:05+01:00", and back (false for anything else).
std::string LocalTimeText(int64_t time, int utcOffset);
bool ParseLocalTime(std::string_view text, int64_t* time, int* utcOffset);
// An entry for now, in the local time zone.
SongEntry SongEntryNow(std::string station, std::string title);

}  // namespace tw
