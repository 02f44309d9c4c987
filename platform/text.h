// Small byte-text helpers the readers share (the engine's parsers, the INI and
// station files): ASCII rules only, nothing here depends on the locale, so a
// reader reads the same bytes the same way on every machine. Header only.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
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

inline bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

inline std::string AsciiLowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

inline bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
// White space as the C locale has it: blanks, tabs and line ends.
inline bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
// The blanks an INI line may have around names and values.
inline bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

inline std::string_view TrimAsciiSpace(std::string_view s) {
  while (!s.empty() && IsAsciiSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsAsciiSpace(s.back())) s.remove_suffix(1);
  return s;
}

inline std::string_view TrimSpacesAndTabs(std::string_view s) {
  while (!s.empty() && IsSpaceOrTab(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpaceOrTab(s.back())) s.remove_suffix(1);
  return s;
}

inline std::string_view SkipUtf8Bom(std::string_view s) {
  if (s.starts_with("\xEF\xBB\xBF")) s.remove_prefix(3);
  return s;
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

// The engine's parsers' line walk. Unlike ForEachLine, CR and LF each end a
// line on their own, so CR LF also yields an empty line (every caller skips
// empty lines), and fn(line) returns false to stop.
template <typename Fn>
void ForEachLineUntil(std::string_view text, Fn fn) {
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

// Engine tag lists (HTTP headers, ICY headers, Ogg comments): NUL-terminated
// entries, ended by an empty one. Calls fn(entry) for each entry; a null list
// has none.
template <typename Fn>
void ForEachListEntry(const char* list, Fn fn) {
  for (const char* entry = list; entry && *entry; entry += std::strlen(entry) + 1) fn(entry);
}

// Builds such a list. The closing empty entry is the NUL that c_str() adds.
inline std::string JoinListEntries(const std::vector<std::string>& entries) {
  std::string list;
  for (const std::string& entry : entries) {
    list.append(entry);
    list.push_back('\0');
  }
  return list;
}

// The list's size in bytes, its closing empty entry included.
inline std::size_t ListBytes(const char* list) {
  const char* end = list;
  while (*end) end += std::strlen(end) + 1;
  return static_cast<std::size_t>(end - list) + 1;
}

}  // namespace tw
