// Small byte-text helpers the readers share: ASCII rules only, nothing here
// depends on the locale.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

namespace tw {

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
// For code units of wider text (UTF-16 or UTF-32): only ASCII letters change.
inline char32_t AsciiLower(char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

inline bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Calls add(line, line end) for each line: lines end at CR LF, LF or CR, and a
// line end at the very end adds no empty line.
template <typename Add>
void ForEachLine(std::string_view text, Add add) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", start);
    if (end == text.npos) {
      add(text.substr(start), std::string_view());
      return;
    }
    const std::size_t eolLength =
        text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
    add(text.substr(start, end - start), text.substr(end, eolLength));
    start = end + eolLength;
  }
}

inline std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  ForEachLine(text, [&](std::string_view line, std::string_view) { lines.push_back(line); });
  return lines;
}

// UTF-8 by its bytes: 0x80..0xBF continue a character, every other byte starts
// one, so stray bytes of broken text only make counts approximate.
inline bool StartsCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

inline std::size_t Utf8Length(std::string_view utf8) {
  std::size_t count = 0;
  for (char c : utf8) count += StartsCharacter(c);
  return count;
}

// The first `count` characters.
inline std::string_view Utf8Prefix(std::string_view utf8, std::size_t count) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (StartsCharacter(utf8[i]) && characters++ == count) return utf8.substr(0, i);
  }
  return utf8;
}

// Engine tag lists: NUL-terminated entries, ended by an empty one. Calls
// fn(entry) for each entry; a null list has none.
template <typename Fn>
void ForEachListEntry(const char* list, Fn fn) {
  for (const char* entry = list; entry && *entry; entry += std::strlen(entry) + 1) fn(entry);
}

// The list's size in bytes, its closing empty entry included.
inline std::size_t ListBytes(const char* list) {
  const char* end = list;
  while (*end) end += std::strlen(end) + 1;
  return static_cast<std::size_t>(end - list) + 1;
}

}  // namespace tw
