#include "platform/rename_noreplace.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace tw {

namespace detail {

bool RenameNoReplaceByLink(const std::filesystem::path& from, const std::filesystem::path& to,
                           std::error_code& error) {
  if (link(from.c_str(), to.c_str()) != 0) {
    error.assign(errno, std::system_category());
    return false;
  }
  if (unlink(from.c_str()) != 0) {
    // Both names now refer to the file; take back the new one so the caller
    // sees the rename as not done rather than half done.
    error.assign(errno, std::system_category());
    unlink(to.c_str());
    return false;
  }
  error.clear();
  return true;
}

}  // namespace detail

bool RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                     std::error_code& error) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    error.clear();
    return true;
  }
  const int renameError = errno;
  // A plain rename would replace to, so it is never the fallback.
  if (renameError == EINVAL || renameError == ENOSYS) {
    return detail::RenameNoReplaceByLink(from, to, error);
  }
  error.assign(renameError, std::system_category());
  return false;
}

}  // namespace tw
