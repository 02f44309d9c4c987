// Real write failures for the tests: a full disk and a read-only folder, made so
// that they also hold when the tests run as root.
#pragma once

#include <linux/capability.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tw::test {

// Files cannot grow past limit bytes while this lives: writes beyond it fail
// with EFBIG, as on a full disk. SIGXFSZ is ignored meanwhile so that the
// failure reaches the code as an error instead of ending the process. Check
// results after the limit is gone: test output may go to a file.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &oldLimit_);
    rlimit lower = oldLimit_;
    lower.rlim_cur = limit;
    active_ = setrlimit(RLIMIT_FSIZE, &lower) == 0;
  }
  ~FileSizeLimit() { Lift(); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  bool active() const { return active_; }
  void Lift() {
    if (lifted_) return;
    lifted_ = true;
    setrlimit(RLIMIT_FSIZE, &oldLimit_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit oldLimit_{};
  sighandler_t oldHandler_ = SIG_DFL;
  bool active_ = false;
  bool lifted_ = false;
};

// Root ignores permission bits; for root this drops, from this thread's
// effective set, the capabilities that let it do so, while this lives. They
// stay permitted, so they can come back.
class WithoutPermissionOverride {
 public:
  WithoutPermissionOverride() {
    if (geteuid() != 0) return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    if (syscall(SYS_capget, &header, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
      reduced[cap / 32].effective &= ~(1u << (cap % 32));
    }
    dropped_ = syscall(SYS_capset, &header, reduced) == 0;
  }
  ~WithoutPermissionOverride() {
    if (!dropped_) return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    syscall(SYS_capset, &header, saved_);
  }
  WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
  WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

 private:
  __user_cap_data_struct saved_[2]{};
  bool dropped_ = false;
};

// Makes folder read-only (0555), in earnest even for root, while this lives.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::permissions(folder_, std::filesystem::perms(0555));
    override_.emplace();
  }
  ~ReadOnlyFolder() {
    override_.reset();
    std::error_code ignored;
    std::filesystem::permissions(folder_, std::filesystem::perms(0755), ignored);
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  // Whether creating a file in the folder really fails, so a test relying on it
  // is not fooled by an environment that ignores the permission bits.
  bool effective() const {
    const std::string probe = (folder_ / "probe-XXXXXX").string();
    std::vector<char> name(probe.begin(), probe.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) return true;
    close(fd);
    unlink(name.data());
    return false;
  }

 private:
  std::filesystem::path folder_;
  std::optional<WithoutPermissionOverride> override_;
};

// The names in folder, for checking that nothing (a temporary file) was left.
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tw::test
