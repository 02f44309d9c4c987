#include "platform/program_folder.h"

#include <unistd.h>

#include <string>

namespace tw {

std::filesystem::path ProgramFolder() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    // Without /proc there is no trustworthy answer; an empty path, never the
    // current directory.
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      break;
    }
    buffer.resize(buffer.size() * 2);  // possibly cut off: try a larger buffer
  }
  // A program replaced while running reads as "<path> (deleted)"; its folder is
  // the same.
  return std::filesystem::path(buffer).parent_path();
}

}  // namespace tw
