#include "platform/song_file.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/text.h"
#include "platform/text_codec.h"

namespace tw {

namespace {

// The value of XDG_MUSIC_DIR in user-dirs.dirs ("" when it has none): a quoted
// "$HOME/..." or absolute path, as xdg-user-dirs writes it.
std::string MusicDirFromUserDirs(std::string_view text, const std::string& home) {
  std::string found;
  ForEachLine(text, [&](std::string_view line, std::string_view) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    constexpr std::string_view kKey = "XDG_MUSIC_DIR=";
    if (!line.starts_with(kKey)) return;
    line.remove_prefix(kKey.size());
    if (line.size() < 2 || line.front() != '"') return;
    const std::size_t close = line.find('"', 1);
    if (close == std::string_view::npos) return;
    std::string_view value = line.substr(1, close - 1);
    if (value.starts_with("$HOME")) {
      if (home.empty()) return;
      value.remove_prefix(5);
      found = home + std::string(value);
    } else {
      found = std::string(value);
    }
  });
  return found;
}

bool IsAbsolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

// Decodes one character of valid UTF-8 at text[i], advancing i.
char32_t NextCharacter(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
  ++i;
  while (extra-- > 0 && i < text.size()) c = (c << 6) | (byte(i++) & 0x3F);
  return c;
}

bool IsControl(char32_t c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029;
}

}  // namespace

std::filesystem::path ChooseMusicFolder(const MusicFolderInputs& in) {
  if (IsAbsolute(in.xdgMusicDir)) return in.xdgMusicDir;
  const std::string fromFile = MusicDirFromUserDirs(in.userDirsText, in.home);
  // xdg-user-dirs writes "$HOME/" for a folder it disabled: that is no music folder.
  if (IsAbsolute(fromFile) && std::filesystem::path(fromFile) != std::filesystem::path(in.home) &&
      std::filesystem::path(fromFile) != std::filesystem::path(in.home + "/")) {
    return fromFile;
  }
  if (!IsAbsolute(in.home)) return {};  // no home folder: no music folder either
  return std::filesystem::path(in.home) / "Music";
}

std::filesystem::path SongsFolder() {
  auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  MusicFolderInputs in;
  in.xdgMusicDir = env("XDG_MUSIC_DIR");
  in.home = env("HOME");
  const std::string configHome = env("XDG_CONFIG_HOME");
  const std::filesystem::path config = IsAbsolute(configHome)
                                           ? std::filesystem::path(configHome)
                                           : std::filesystem::path(in.home) / ".config";
  std::ifstream file(config / "user-dirs.dirs", std::ios::binary);
  if (file) {
    std::ostringstream text;
    text << file.rdbuf();
    in.userDirsText = text.str();
  }
  const std::filesystem::path music = ChooseMusicFolder(in);
  return music.empty() ? music : music / kSongsFolderName;
}

std::string SongFileName(std::string_view title, std::string_view extension, int copy) {
  const std::string utf8 = EngineTextToUtf8(title);
  std::string name;
  bool blank = false;  // a blank is pending: runs of blanks become one
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t start = i;
    const char32_t c = NextCharacter(utf8, i);
    if (IsControl(c) || c == ' ') {
      blank = true;
      continue;
    }
    // Leading dots would hide the file, or name "." and "..".
    if (name.empty() && c == '.') continue;
    const std::string_view piece =
        c == '/' ? std::string_view("_") : std::string_view(utf8).substr(start, i - start);
    const std::size_t room = kSongTitleBytes - name.size();
    if ((blank && !name.empty() ? 1 : 0) + piece.size() > room) break;
    if (blank && !name.empty()) name.push_back(' ');
    blank = false;
    name.append(piece);
  }
  if (name.empty()) name = "Untitled";
  if (copy > 1) name += " (" + std::to_string(copy) + ")";
  if (!extension.empty()) {
    name.push_back('.');
    name.append(extension);
  }
  return name;
}

}  // namespace tw
