// The INI reader on arbitrary files: an unchanged file serializes to its own
// bytes, a written value reads back (also after a save's bytes are read again)
// and leaves other keys alone, and integers are read as a straightforward
// reference reader reads them.
// Input: the file's bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_file.h"
#include "platform/ini_file.h"
#include "platform/text_codec.h"

namespace {

using tw::IniFile;

// Whole decimal (optional sign) within 32 bits, or "0x" and hex digits whose
// value fits 32 bits, blanks around allowed.
std::optional<int32_t> ReferenceInteger(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    uint64_t value = 0;
    for (char c : text.substr(2)) {
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return std::nullopt;
      }
      value = value * 16 + static_cast<uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  }
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<int32_t>(value);
}

void CheckInteger(std::string_view text) {
  int32_t value = 0;
  const bool parsed = tw::ParseIniInteger(text, &value);
  const std::optional<int32_t> expected = ReferenceInteger(text);
  if (parsed != expected.has_value() || (parsed && value != *expected)) __builtin_trap();
}

bool HasBom(std::string_view bytes) {
  return bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") ||
         bytes.starts_with("\xFE\xFF");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckInteger(bytes);

  const tw::fuzz::MemoryFile file(bytes);
  IniFile ini(file.path());
  if (!ini.error().empty() || !ini.exists()) __builtin_trap();
  // Everything the program does not write stays byte for byte.
  if (!HasBom(bytes) && ini.Serialize() != bytes) __builtin_trap();

  CheckInteger(ini.ReadString("s", "k", ""));
  const std::string other = ini.ReadString("t", "k", "\x01");
  const std::string sameSectionOther = ini.ReadString("s", "j", "\x01");

  ini.WriteString("s", "k", "fuzz value");
  if (ini.ReadString("S", "K", "") != "fuzz value") __builtin_trap();
  if (ini.ReadString("t", "k", "\x01") != other) __builtin_trap();
  if (ini.ReadString("s", "j", "\x01") != sameSectionOther) __builtin_trap();

  const tw::fuzz::MemoryFile saved(ini.Serialize());
  const IniFile again(saved.path());
  if (again.ReadString("s", "k", "") != "fuzz value") __builtin_trap();
  if (again.ReadString("t", "k", "\x01") != other) __builtin_trap();
  return 0;
}
