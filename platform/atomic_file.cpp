#include "platform/atomic_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace tw {
namespace {

std::string Message(const char* verb, const std::filesystem::path& path, int error) {
  return std::string("Can't ") + verb + " " + path.string() + ": " + std::strerror(error);
}

// Follows a chain of symbolic links to the file it ends at, which need not
// exist yet. Writing there, rather than over the link, keeps the link.
bool ResolveLinks(const std::filesystem::path& path, std::filesystem::path* target, int* error) {
  std::filesystem::path current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *target = current;
      return true;
    }
    std::error_code ec;
    const std::filesystem::path next = std::filesystem::read_symlink(current, ec);
    if (ec) {
      *error = ec.value();
      return false;
    }
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  *error = ELOOP;
  return false;
}

// The mode a newly created file gets: 0644 less the process umask. The umask is
// read from /proc, because setting it to learn it races with other threads.
mode_t NewFileMode() {
  mode_t mask = 022;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("Umask:")) {
      mask = static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
      break;
    }
  }
  return 0644 & ~mask;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {  // should not happen for a regular file; don't spin
      errno = ENOSPC;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

int FsyncRetrying(int fd) {
  int result;
  do {
    result = fsync(fd);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

bool ReadWholeFile(const std::filesystem::path& path, std::string* bytes, std::string* error,
                   bool* missing) {
  bytes->clear();
  if (missing) *missing = false;
  // O_NONBLOCK so that a FIFO in the file's place cannot hang the caller.
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int openError = errno;
    if (missing && openError == ENOENT) *missing = true;
    if (error) *error = Message("read", path, openError);
    return false;
  }
  struct stat info;
  int statError = 0;
  if (fstat(fd, &info) != 0) {
    statError = errno;
  } else if (S_ISDIR(info.st_mode)) {
    statError = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    statError = EINVAL;  // a device or FIFO is not a file to read whole
  }
  if (statError != 0) {
    close(fd);
    if (error) *error = Message("read", path, statError);
    return false;
  }
  if (info.st_size > 0) bytes->reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int readError = errno;
      close(fd);
      bytes->clear();
      if (error) *error = Message("read", path, readError);
      return false;
    }
    if (got == 0) break;
    bytes->append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string* error) {
  auto fail = [&](int code) {
    if (error) *error = Message("write", path, code);
    return false;
  };
  if (path.empty()) return fail(ENOENT);

  std::filesystem::path target;
  int resolveError = 0;
  if (!ResolveLinks(path, &target, &resolveError)) return fail(resolveError);
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";

  // Beside the target so that the rename stays within one file system.
  std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return fail(errno);

  auto failAndRemove = [&](int code) {
    close(fd);
    unlink(temp.c_str());
    return fail(code);
  };

  struct stat oldInfo;
  if (stat(target.c_str(), &oldInfo) == 0) {
    // Keep the owner too when a privileged process saves someone's file. Not
    // fatal: an ordinary user cannot give files away, and the contents matter
    // more. Before fchmod, because a change of owner clears set-id bits.
    if (oldInfo.st_uid != geteuid() || oldInfo.st_gid != getegid()) {
      if (fchown(fd, oldInfo.st_uid, oldInfo.st_gid) != 0) errno = 0;
    }
    if (fchmod(fd, oldInfo.st_mode & 07777) != 0) return failAndRemove(errno);
  } else if (fchmod(fd, NewFileMode()) != 0) {
    return failAndRemove(errno);
  }

  if (!WriteAll(fd, bytes)) return failAndRemove(errno);
  if (FsyncRetrying(fd) != 0) return failAndRemove(errno);
  // Some file systems report write errors only on close, so it is checked.
  if (close(fd) != 0 && errno != EINTR) {
    const int closeError = errno;
    unlink(temp.c_str());
    return fail(closeError);
  }
  if (rename(temp.c_str(), target.c_str()) != 0) {
    const int renameError = errno;
    unlink(temp.c_str());
    return fail(renameError);
  }
  // Make the rename itself durable; the data is already safe, so failure here
  // does not undo the save.
  const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    FsyncRetrying(folderFd);
    close(folderFd);
  }
  return true;
}

bool IsTemporaryOf(std::string_view entry, std::string_view name) {
  // mkostemp fills the six X with letters and digits.
  constexpr std::size_t kRandom = 6;
  if (entry.size() != name.size() + 2 + kRandom || entry[0] != '.' ||
      entry.substr(1, name.size()) != name || entry[name.size() + 1] != '.') {
    return false;
  }
  for (char c : entry.substr(name.size() + 2)) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
      return false;
    }
  }
  return true;
}

int RemoveStaleTemporaries(const std::filesystem::path& folder,
                           std::initializer_list<std::string_view> names,
                           std::chrono::seconds age) {
  std::error_code ec;
  std::filesystem::directory_iterator entries(folder, ec);
  if (ec) return 0;
  const auto now = std::chrono::system_clock::now();
  int removed = 0;
  for (const auto& entry : entries) {
    const std::string file = entry.path().filename().string();
    bool ours = false;
    for (std::string_view name : names) ours = ours || IsTemporaryOf(file, name);
    if (!ours) continue;
    struct stat info;
    if (lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != geteuid()) {
      continue;
    }
    const auto changed = std::chrono::system_clock::time_point(
        std::chrono::seconds(info.st_mtim.tv_sec) +
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
    if (now - changed <= age) continue;
    if (unlink(entry.path().c_str()) == 0) ++removed;
  }
  return removed;
}

}  // namespace tw
