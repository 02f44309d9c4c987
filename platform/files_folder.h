// Where the program keeps its files. A portable folder (the executable's own,
// holding favorites.cfg or writable) keeps them as always; an installed program
// (/usr/bin, ~/.local/bin) keeps them in the user's configuration folder instead,
// since its folder is shared, or not writable, or both.
#pragma once

#include <filesystem>
#include <string>

namespace tw {

// The shipped default station list of an installed program, relative to the
// executable's folder.
inline constexpr const char* kShippedStationsFolder = "../share/tunewell";

struct FilesFolderInputs {
  std::filesystem::path programFolder;
  std::string xdgConfigHome;  // $XDG_CONFIG_HOME, "" when unset
  std::string home;           // $HOME, "" when unset
};

// Decides without touching the disk beyond looks:
// - the program folder when it holds favorites.cfg (a portable or old folder);
// - else the configuration folder when a shipped station list lies beside the
//   program (it is installed: even a folder root may write to is not for our files);
// - else the program folder when it is writable (a fresh portable folder);
// - else the configuration folder.
// The configuration folder is $XDG_CONFIG_HOME/tunewell, or $HOME/.config/tunewell
// when XDG_CONFIG_HOME is unset or not absolute (as the base directory rules say).
std::filesystem::path ChooseFilesFolder(const FilesFolderInputs& in);

// Makes the configuration folder ready: creates it (and missing parents) with
// mode 0700, and on the first start copies the shipped station list into it. A
// folder that already holds a station list, or an import file, is left alone.
// Failures are not reported here: the start-up then shows the box naming the
// missing or unwritable file, as for a portable folder.
void PrepareFilesFolder(const std::filesystem::path& folder,
                        const std::filesystem::path& programFolder);

// The folder for this process: ChooseFilesFolder on the real environment, then
// PrepareFilesFolder when it is not the program folder.
std::filesystem::path FilesFolder(const std::filesystem::path& programFolder);

}  // namespace tw
