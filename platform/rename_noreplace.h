#pragma once

#include <filesystem>
#include <system_error>

namespace tw {

// Renames from to to, failing (EEXIST) instead of replacing an existing to.
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& error);

}  // namespace tw
