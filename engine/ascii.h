// Byte-text helpers shared by the engine's parsers. ASCII rules only: nothing
// here depends on the locale, so a parser reads the same bytes the same way on
// every machine.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace tw::engine::ascii {

inline char Lower(char c) { return AsciiLower(c); }
inline bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) { return EqualNoCase(a, b); }

inline bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

inline std::string Lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

inline std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

inline std::string_view SkipBom(std::string_view s) {
  if (s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
  return s;
}

// Calls fn(line) for each line until it returns false. CR LF, LF and a lone CR
// all end a line (CR LF also yields an empty line, which every caller skips).
template <typename Fn>
void ForEachLine(std::string_view text, Fn fn) {
  while (!text.empty()) {
    std::size_t end = text.find_first_of("\r\n");
    if (end == std::string_view::npos) {
      fn(text);
      return;
    }
    if (!fn(text.substr(0, end))) return;
    text.remove_prefix(end + 1);
  }
}

}  // namespace tw::engine::ascii
