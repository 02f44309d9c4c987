#include "platform/instance_lock.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tw {
namespace {

// A folder that only this user can change, so nobody else can plant, take or
// remove the lock file in it. follow: whether a link to it counts (one the user
// chose in their own environment does; one found in /tmp does not).
bool OwnPrivateFolder(const std::string& path, bool follow) {
  struct stat info;
  const int result = follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info);
  return result == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string HomeFolder() {
  if (const char* home = getenv("HOME"); home && *home) return home;
  const passwd* user = getpwuid(geteuid());
  return user && user->pw_dir ? user->pw_dir : "";
}

// The lock file's place: $XDG_RUNTIME_DIR; else a 0700 folder of this user's in
// /tmp; else the home folder, when another user already holds the /tmp name.
// Empty when none is this user's alone.
std::string LockFilePath(std::string_view name) {
  const std::string file = "/" + std::string(name) + ".lock";
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime && OwnPrivateFolder(runtime, true)) return runtime + file;
  const std::string tmp = "/tmp/" + std::string(name) + "-" + std::to_string(geteuid());
  mkdir(tmp.c_str(), 0700);  // fails when it exists; the check below decides
  if (OwnPrivateFolder(tmp, false)) return tmp + file;
  const std::string home = HomeFolder();
  if (!home.empty() && OwnPrivateFolder(home, true))
    return home + "/." + std::string(name) + ".lock";
  return "";
}

}  // namespace

InstanceLock::InstanceLock(std::string_view name) {
  // The name becomes part of a path; one that could leave the folder is refused.
  if (name.empty() || name.find('/') != name.npos || name.find('\0') != name.npos) {
    error_ = "Invalid lock name \"" + std::string(name) + "\"";
    return;
  }
  file_ = LockFilePath(name);
  if (file_.empty()) {
    error_ = "No folder of this user's alone for the lock file (XDG_RUNTIME_DIR, /tmp, HOME)";
    return;
  }

  // O_NOFOLLOW: a link under our name, however it got there, would make us
  // create or lock a file of someone else's choosing.
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
  const int lockError = errno;
  close(fd_);
  fd_ = -1;
  if (lockError == EWOULDBLOCK) {
    state_ = State::HeldElsewhere;
  } else {
    error_ = "Can't lock " + file_ + ": " + std::strerror(lockError);
  }
}

InstanceLock::~InstanceLock() {
  // The file stays: removing it would let a starting copy lock a new file
  // while another still holds the old, unlinked one.
  if (fd_ >= 0) close(fd_);
}

}  // namespace tw
