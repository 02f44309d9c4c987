#include "tests/support/hls_fmp4.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace tw::test {

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Runs the tool and waits for it: whether it exited with 0.
bool Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

Fmp4Rendition MakeFmp4Hls(double hz, int rate, double seconds, const std::string& prefix) {
  std::string folderName = (std::filesystem::temp_directory_path() / "tw-hls-XXXXXX").string();
  if (!::mkdtemp(folderName.data())) return {};
  const std::filesystem::path folder(folderName);
  const std::string tone = "0.5*sin(2*PI*" + std::to_string(hz) + "*t)";
  Fmp4Rendition rendition;
  const bool made = Run({"ffmpeg",
                         "-hide_banner",
                         "-nostdin",
                         "-loglevel",
                         "error",
                         "-f",
                         "lavfi",
                         "-i",
                         "aevalsrc=" + tone + "|" + tone + ":s=" + std::to_string(rate) +
                             ":d=" + std::to_string(seconds),
                         "-c:a",
                         "aac",
                         "-b:a",
                         "128k",
                         "-f",
                         "hls",
                         "-hls_time",
                         "1",
                         "-hls_segment_type",
                         "fmp4",
                         "-hls_playlist_type",
                         "vod",
                         "-hls_fmp4_init_filename",
                         prefix + "init.mp4",
                         "-hls_segment_filename",
                         (folder / (prefix + "%d.m4s")).string(),
                         (folder / "list.m3u8").string()});
  if (made) {
    std::istringstream list(ReadFile(folder / "list.m3u8"));
    for (std::string line; std::getline(list, line);) {
      rendition.lines.push_back(line);
      std::string name = line;
      if (line.starts_with("#EXT-X-MAP:URI=\"")) name = line.substr(16, line.find('"', 16) - 16);
      if (!name.empty() && name[0] != '#') rendition.files[name] = ReadFile(folder / name);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return rendition;
}

}  // namespace tw::test
