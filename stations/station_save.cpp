#include "stations/station_save.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "platform/atomic_file.h"
#include "platform/ini_file.h"
#include "platform/rename_noreplace.h"

namespace tw {

namespace detail {

bool CopyWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                          std::error_code& error) {
  std::string bytes;
  if (!ReadWholeFile(from, &bytes, nullptr)) {
    error = std::make_error_code(std::errc::io_error);
    return false;
  }
  // The copy is written whole under a temporary name first, so that a crash or
  // a full disk never leaves a torn backup under the real name.
  std::string temp = (to.parent_path() / ("." + to.filename().string() + ".XXXXXX")).string();
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    error.assign(errno, std::system_category());
    return false;
  }
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t written = write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error.assign(written < 0 ? errno : ENOSPC, std::system_category());
      close(fd);
      unlink(temp.c_str());
      return false;
    }
    rest.remove_prefix(static_cast<size_t>(written));
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    error.assign(errno, std::system_category());
    unlink(temp.c_str());
    return false;
  }
  if (!RenameNoReplace(temp, to, error)) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace detail

bool BackUpWithoutReplacing(const std::filesystem::path& file, const std::filesystem::path& backup,
                            std::error_code& error) {
  // A second name for the same file: it costs nothing and keeps bytes, owner and
  // mode. The save replaces "favorites.cfg" by a new file rather than writing
  // into it, so the backup keeps the old contents. link refuses to replace.
  if (linkat(AT_FDCWD, file.c_str(), AT_FDCWD, backup.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    error.clear();
    return true;
  }
  const int linkError = errno;
  if (linkError == EPERM || linkError == EMLINK || linkError == EOPNOTSUPP) {
    return detail::CopyWithoutReplacing(file, backup, error);  // no hard links here
  }
  error.assign(linkError, std::system_category());
  return false;
}

bool SaveStations(const std::filesystem::path& folder, const std::vector<Station>& stations,
                  std::string* error) {
  IniFile file(folder / kStationFileName);
  // The loader reads sections "001" to "999" only; a station written beyond them
  // would be saved and then silently gone at the next load.
  if (stations.size() > static_cast<size_t>(kMaxStations)) {
    if (error) {
      *error = "Can't write " + file.path().string() + ": it holds at most " +
               std::to_string(kMaxStations) + " stations; remove " +
               std::to_string(stations.size() - static_cast<size_t>(kMaxStations)) +
               " before saving";
    }
    return false;
  }
  // A file that is there but unreadable is neither backed up nor replaced.
  if (!file.error().empty()) {
    if (error) *error = file.error();
    return false;
  }
  if (file.exists()) {
    // The backup keeps the list as it was before the first save made while none
    // existed; later saves leave it alone, and any other failure to make it
    // does not stop the save.
    std::error_code ignored;
    BackUpWithoutReplacing(folder / kStationFileName, folder / kStationBackupFileName, ignored);
  }

  // Every section the loader reads as a station goes first, duplicates included;
  // writing over them in place would leave the stations after N (and any copy of
  // a section) to be loaded again.
  for (int i = 1; i <= kMaxStations; ++i) file.EraseSection(StationSection(i));
  for (size_t i = 0; i < stations.size(); ++i) {
    const std::string section = StationSection(static_cast<int>(i) + 1);
    file.WriteString(section, "Path", stations[i].url);
    file.WriteString(section, "Title", stations[i].name);
    file.WriteString(section, "AudioNum", "1");
  }
  return file.Save(error);
}

}  // namespace tw
