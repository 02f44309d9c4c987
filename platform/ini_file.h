// INI files as the player's stored files were made: sections and keys matched
// without regard to case, values replaced in place, everything else kept byte
// for byte, and every save reaching the disk whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/text_codec.h"

namespace tw {

class IniFile {
 public:
  // Reads the file. A missing file is an empty document that Save creates; a file
  // that exists but cannot be read is an empty document too, and error() says why.
  explicit IniFile(std::filesystem::path path);

  const std::filesystem::path& path() const { return path_; }
  // Empty when the file was read (or did not exist); else a message naming it.
  const std::string& error() const { return error_; }
  bool exists() const { return exists_; }

  // The first matching section and key win. Blanks around the value and one pair
  // of enclosing quotes are removed; the value is cut at 2047 characters.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  // The whole value (blanks around it aside) is a decimal number with an optional
  // sign within 32 bits, or "0x" (any case) and hex digits whose value fits 32
  // bits, taken as a bit pattern (0xFFFFFFFF is -1). Anything else ("12abc",
  // "50%", "0x", a number beyond 32 bits) or a missing key gives the fallback.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;

  // Replaces the value in place, or appends the key at the end of its section, or
  // appends the section at the end of the file. A key may span lines ("a\r\nb"):
  // it is written as those lines, the last one followed by "=" and the value.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

  // Writes the whole file atomically (temporary file beside it, flushed, renamed
  // over the old one). On failure returns false, leaves the old file as it was and
  // sets *error to a message naming the file.
  bool Save(std::string* error);

  // The bytes Save would write.
  std::string Serialize() const;

  // Removes every section of the name (any case) with all its lines, not just the
  // first one reads see: a later one would surface once the first is gone.
  void EraseSection(std::string_view section);

 private:
  struct Line {
    std::string text;  // UTF-8, without its line end
    std::string eol;   // "\r\n", "\n", "\r" or "" (last line without one)
  };
  // A header line and the lines up to the next header. The first one holds the
  // lines before any header, has no header and belongs to no section.
  struct Section {
    std::vector<Line> lines;
    bool erased = false;  // left out of the file; its lines are gone
  };
  std::filesystem::path path_;
  std::string error_;
  bool exists_ = false;
  TextEncoding encoding_ = TextEncoding::Ansi;
  // The file in order, erased sections aside.
  std::vector<Section> sections_ = std::vector<Section>(1);
  // ASCII lower-case name -> the sections of that name in the file, in order, so
  // that a read or a write finds its section without scanning the file.
  std::unordered_map<std::string, std::vector<size_t>> byName_;

  // Appends a line to the last section, or starts a section with it.
  void AddLine(Line line);
  // After a write made a line that reads as a header somewhere other than at
  // the start of a section (a key such as "[x]"): the file is indexed again.
  void IndexAgain();
  // The first section of the name, or nullptr.
  const Section* Find(std::string_view name) const;
  std::string NewLineEnd() const;

  // WriteString's three cases. keyValue is the key's lines, the last with "="
  // and the value. The section of `lines` holds the key: its value is replaced
  // and true returned; false when it has no such key.
  bool ReplaceValue(std::vector<Line>& lines, const std::vector<std::string>& keyLines,
                    std::string_view value);
  // The key goes at the end of the section of `lines`.
  void AppendKey(std::vector<Line>& lines, std::vector<Line> keyValue, const std::string& eol);
  // A new section with the key goes at the end of the file.
  void AppendSection(const std::string& section, std::vector<Line> keyValue,
                     const std::string& eol);
  // A key line such as "[x]" reads as a header: the sections change with it.
  static bool AnyHeader(const std::vector<Line>& lines);
};

// Integer text as ReadInteger takes it.
bool ParseIniInteger(std::string_view text, int32_t* value);

}  // namespace tw
