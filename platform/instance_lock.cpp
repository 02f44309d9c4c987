#include "platform/instance_lock.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tw {
namespace {

std::string LockFilePath(std::string_view name) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  struct stat info;
  if (runtime && *runtime && stat(runtime, &info) == 0 && S_ISDIR(info.st_mode)) {
    return std::string(runtime) + "/" + std::string(name) + ".lock";
  }
  return "/tmp/" + std::string(name) + "-" + std::to_string(geteuid()) + ".lock";
}

}  // namespace

InstanceLock::InstanceLock(std::string_view name) {
  // The name becomes part of a path; one that could leave the folder is refused.
  if (name.empty() || name.find('/') != name.npos || name.find('\0') != name.npos) {
    error_ = "Invalid lock name \"" + std::string(name) + "\"";
    return;
  }
  file_ = LockFilePath(name);

  // O_NOFOLLOW: in /tmp anyone can plant a link under our name, and following it
  // would create or lock a file of their choosing.
  do {
    fd_ = open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    error_ = "Can't open lock file " + file_ + ": " + std::strerror(errno);
    return;
  }
  // A file someone else made there in advance could be locked by them at will.
  struct stat info;
  if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    error_ = "Can't use lock file " + file_ + ": not a file of this user";
    close(fd_);
    fd_ = -1;
    return;
  }

  int result;
  do {
    result = flock(fd_, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    state_ = State::Acquired;
    return;
  }
  const int lock_error = errno;
  close(fd_);
  fd_ = -1;
  if (lock_error == EWOULDBLOCK) {
    state_ = State::HeldElsewhere;
  } else {
    error_ = "Can't lock " + file_ + ": " + std::strerror(lock_error);
  }
}

InstanceLock::~InstanceLock() {
  // The file stays: removing it would let a starting copy lock a new file
  // while another still holds the old, unlinked one.
  if (fd_ >= 0) close(fd_);
}

}  // namespace tw
