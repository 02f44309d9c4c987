// The fuzz input as a file the readers can open: an anonymous memory file, so
// no disk is touched and nothing is left behind.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace tw::fuzz {

class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : fd_(memfd_create("tunewell-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) __builtin_trap();
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) __builtin_trap();
      done += static_cast<std::size_t>(n);
    }
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// What a value written with WriteString reads back as: blanks around it and one
// pair of enclosing quotes go, and it is cut at 2047 characters.
inline std::string AsReadBack(std::string_view value) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  std::size_t characters = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if ((static_cast<unsigned char>(value[i]) & 0xC0) != 0x80 && characters++ == 2047) {
      return std::string(value.substr(0, i));
    }
  }
  return std::string(value);
}

}  // namespace tw::fuzz
