// One running copy per user: an advisory lock on a file named after the lock,
// held for the life of the process. The kernel drops it when the process ends,
// however it ends, so a crash never blocks the next start.
#pragma once

#include <string>
#include <string_view>

namespace tw {

class InstanceLock {
 public:
  enum class State { Acquired, HeldElsewhere, Unavailable };

  // Lock file: $XDG_RUNTIME_DIR/<name>.lock; else /tmp/<name>-<uid>/<name>.lock
  // in a 0700 folder of this user's; else $HOME/.<name>.lock when another user
  // holds that /tmp name. Only folders no other user can write to are used.
  explicit InstanceLock(std::string_view name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  State state() const { return state_; }
  // Why the lock file could not be used (state Unavailable).
  const std::string& error() const { return error_; }
  const std::string& file() const { return file_; }

 private:
  int fd_ = -1;
  State state_ = State::Unavailable;
  std::string error_;
  std::string file_;
};

}  // namespace tw
