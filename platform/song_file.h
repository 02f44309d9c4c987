// Where saved songs go and what their files are called: plain rules, no I/O
// beyond reading the user's folder settings, so the engine and the window share
// them and tests drive them directly.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tw {

// The folder in the user's music folder that saved songs go to.
inline constexpr const char* kSongsFolderName = "Tunewell";

struct MusicFolderInputs {
  std::string xdgMusicDir;  // $XDG_MUSIC_DIR, "" when unset
  std::string home;         // $HOME, "" when unset
  std::string
      userDirsText;  // the text of user-dirs.dirs ($XDG_CONFIG_HOME or ~/.config), "" when missing
};

// The user's music folder: $XDG_MUSIC_DIR, else the XDG_MUSIC_DIR line of
// user-dirs.dirs ("$HOME/..." or an absolute path), else $HOME/Music. Relative
// or empty settings are passed over, as the base directory rules say. Empty
// when there is no home folder either.
std::filesystem::path ChooseMusicFolder(const MusicFolderInputs& in);

// The folder saved songs go to, for this process's environment (reads
// user-dirs.dirs): <music folder>/Tunewell, empty when there is none. Not
// created here.
std::filesystem::path SongsFolder();

// A file name for a song title: the title as UTF-8 (bytes that are not are
// taken as Windows-1252), with '/', control characters and leading dots and
// blanks replaced or dropped, cut at a character boundary so that the whole
// name stays well inside file-system limits, then " (copy)" when copy > 1, then
// "." and the extension. A title with nothing left is "Untitled". The result
// never names a folder, never starts with a dot and never holds '/' or NUL.
std::string SongFileName(std::string_view title, std::string_view extension, int copy = 1);

// Bytes of the title part at most (the name adds a copy number and extension).
inline constexpr std::size_t kSongTitleBytes = 180;

}  // namespace tw
