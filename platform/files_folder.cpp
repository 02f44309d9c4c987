#include "platform/files_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace tw {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStationFile = "favorites.cfg";
constexpr const char* kImportFile = "radio.txt";

bool Exists(const fs::path& file) {
  std::error_code error;
  return fs::exists(file, error);
}

// mkdir -p with 0700 for every folder it makes; folders that exist keep their mode.
void MakeFolders(const fs::path& folder) {
  if (folder.empty() || Exists(folder)) return;
  MakeFolders(folder.parent_path());
  // A failure shows later, as the box naming the file that could not be read or written.
  (void)::mkdir(folder.c_str(), 0700);
}

std::string HomeFolder(const std::string& home) {
  if (!home.empty()) return home;
  // Without $HOME (started from a service), the password database still knows.
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return {};
}

}  // namespace

fs::path ChooseFilesFolder(const FilesFolderInputs& in) {
  const fs::path& program = in.programFolder;
  if (Exists(program / kStationFile)) return program;
  const bool installed = Exists(program / kShippedStationsFolder / kStationFile);
  if (!installed && !program.empty() && ::access(program.c_str(), W_OK) == 0) return program;

  fs::path base;
  if (!in.xdgConfigHome.empty() && fs::path(in.xdgConfigHome).is_absolute()) {
    base = in.xdgConfigHome;
  } else {
    const std::string home = HomeFolder(in.home);
    // No home at all: the program folder is the only place left.
    if (home.empty()) return program;
    base = fs::path(home) / ".config";
  }
  return base / "tunewell";
}

void PrepareFilesFolder(const fs::path& folder, const fs::path& programFolder) {
  MakeFolders(folder);
  if (Exists(folder / kStationFile) || Exists(folder / kImportFile)) return;
  const fs::path shipped = programFolder / kShippedStationsFolder / kStationFile;
  if (!Exists(shipped)) return;
  // Copied under a temporary name and renamed into place, so a start that dies
  // half-way never leaves a cut station list that later starts would keep.
  const fs::path partial = folder / (std::string(kStationFile) + ".new");
  std::error_code error;
  fs::copy_file(shipped, partial, fs::copy_options::overwrite_existing, error);
  if (error) {
    fs::remove(partial, error);
    return;
  }
  fs::permissions(partial, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, error);
  fs::rename(partial, folder / kStationFile, error);
  if (error) fs::remove(partial, error);
}

fs::path FilesFolder(const fs::path& programFolder) {
  auto text = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  const fs::path folder = ChooseFilesFolder({programFolder, text("XDG_CONFIG_HOME"), text("HOME")});
  if (folder != programFolder) PrepareFilesFolder(folder, programFolder);
  return folder;
}

}  // namespace tw
