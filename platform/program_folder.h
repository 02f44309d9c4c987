#pragma once

#include <filesystem>

namespace tw {

// The folder of the running executable (from /proc/self/exe), where every file
// of the program lives. The current directory is never used.
std::filesystem::path ProgramFolder();

}  // namespace tw
