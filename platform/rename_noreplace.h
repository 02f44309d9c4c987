#pragma once

#include <filesystem>
#include <system_error>

namespace tw {

// Renames from to to, failing (EEXIST) instead of replacing an existing to.
bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& error);

namespace detail {
// The way RenameNoReplace takes on file systems without renameat2's
// RENAME_NOREPLACE: link to the new name (which refuses to replace), then drop
// the old one. Declared here so that tests can reach it on any file system.
bool RenameNoReplaceByLink(const std::filesystem::path& from, const std::filesystem::path& to,
                           std::error_code& error);
}  // namespace detail

}  // namespace tw
