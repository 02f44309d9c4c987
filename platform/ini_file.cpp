#include "platform/ini_file.h"

#include <charconv>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/text.h"

namespace tw {
namespace {

constexpr size_t kMaxValueCharacters = 2047;
constexpr size_t kNone = static_cast<size_t>(-1);

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsComment(std::string_view line) {
  const std::string_view text = TrimBlanks(line);
  return !text.empty() && text.front() == ';';
}

// "[name]" after optional blanks gives the name without its surrounding blanks.
// Anything after the last ']' is ignored; a '[' without ']' is no header.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view text = TrimBlanks(line);
  if (text.empty() || text.front() != '[') return std::nullopt;
  const size_t close = text.rfind(']');
  if (close == text.npos || close == 0) return std::nullopt;
  return TrimBlanks(text.substr(1, close - 1));
}

// The key of a "key=value" line, or nullopt for a line without '='.
std::optional<std::string_view> LineKey(std::string_view line) {
  const size_t equals = line.find('=');
  if (equals == line.npos) return std::nullopt;
  return TrimBlanks(line.substr(0, equals));
}

// A line break inside a value or section name would start a line the next read
// takes as a key or section of its own, so it is written as a space.
std::string WithoutLineBreaks(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

}  // namespace

bool ParseIniInteger(std::string_view text, int32_t* value) {
  text = TrimBlanks(text);
  // The whole value must be the number: "50%", "1abc" or "2x" are not numbers,
  // and taking their leading digits would make "PlayLast=1abc" auto-play.
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    // Hex is a 32-bit pattern: 0xFFFFFFFF is -1.
    const std::string_view digits = text.substr(2);
    uint32_t bits = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), bits, 16);
    // Unsigned: from_chars takes no sign here, so "0x-1" is no number.
    if (error != std::errc() || end != digits.data() + digits.size()) return false;
    *value = static_cast<int32_t>(bits);  // modulo 2^32 since C++20
    return true;
  }
  std::string_view digits = text;
  // from_chars takes a '-' but no '+'; "+-5" is no number.
  if (!digits.empty() && digits[0] == '+') {
    digits.remove_prefix(1);
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) return false;
  }
  int32_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  *value = number;
  return true;
}

IniFile::IniFile(std::filesystem::path path) : path_(std::move(path)) {
  std::string bytes;
  bool missing = false;
  if (!ReadWholeFile(path_, &bytes, &error_, &missing)) {
    if (missing) error_.clear();
    exists_ = !missing;
    return;
  }
  exists_ = true;
  DecodedText decoded = DecodeText(bytes);
  bytes.clear();
  bytes.shrink_to_fit();
  encoding_ = decoded.encoding;
  ForEachLine(decoded.utf8, [this](std::string_view text, std::string_view eol) {
    lines_.push_back(Line{std::string(text), std::string(eol)});
  });
}

std::string IniFile::NewLineEnd() const {
  for (const Line& line : lines_) {
    if (!line.eol.empty()) return line.eol;
  }
  return "\r\n";
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
  section = TrimBlanks(section);
  key = TrimBlanks(key);
  bool in_section = false;
  for (const Line& line : lines_) {
    if (const std::optional<std::string_view> name = SectionName(line.text)) {
      // Only the first section of the name counts.
      if (in_section) break;
      in_section = EqualNoCase(*name, section);
      continue;
    }
    if (!in_section || IsComment(line.text)) continue;
    const std::optional<std::string_view> line_key = LineKey(line.text);
    if (!line_key || !EqualNoCase(*line_key, key)) continue;

    std::string_view value =
        TrimBlanks(std::string_view(line.text).substr(line.text.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(Utf8Prefix(value, kMaxValueCharacters));
  }
  return std::string(fallback);
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                             int32_t fallback) const {
  int32_t value;
  if (!ParseIniInteger(ReadString(section, key, ""), &value)) return fallback;
  return value;
}

void IniFile::WriteString(std::string_view section_in, std::string_view key,
                          std::string_view value_in) {
  const std::string section = WithoutLineBreaks(TrimBlanks(section_in));
  const std::string value = WithoutLineBreaks(value_in);

  // A key may span lines; all but the last are written as they are, and the last
  // is followed by "=" and the value.
  std::vector<std::string> key_lines;
  ForEachLine(key, [&](std::string_view text, std::string_view) { key_lines.emplace_back(text); });
  if (key_lines.empty() || (!key.empty() && (key.back() == '\r' || key.back() == '\n'))) {
    key_lines.emplace_back();
  }

  // Ansi holds only Windows-1252; writing such a file back with '?' for the rest
  // would lose text the user entered, so the file becomes UTF-8 with a BOM, which
  // keeps everything and which the reader recognises by that BOM.
  if (encoding_ == TextEncoding::Ansi &&
      !(CanEncodeAnsi(section) && CanEncodeAnsi(key) && CanEncodeAnsi(value))) {
    encoding_ = TextEncoding::Utf8Bom;
  }

  const std::string eol = NewLineEnd();
  auto insert_at = [&](size_t at, std::vector<Line> new_lines) {
    if (at > 0 && lines_[at - 1].eol.empty()) lines_[at - 1].eol = eol;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at),
                  std::make_move_iterator(new_lines.begin()),
                  std::make_move_iterator(new_lines.end()));
  };
  auto key_value_lines = [&]() {
    std::vector<Line> lines;
    for (size_t i = 0; i + 1 < key_lines.size(); ++i) lines.push_back(Line{key_lines[i], eol});
    lines.push_back(Line{key_lines.back() + "=" + value, eol});
    return lines;
  };

  size_t header = kNone;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::optional<std::string_view> name = SectionName(lines_[i].text);
    if (name && EqualNoCase(*name, section)) {
      header = i;
      break;
    }
  }
  if (header == kNone) {
    std::vector<Line> lines = key_value_lines();
    lines.insert(lines.begin(), Line{"[" + section + "]", eol});
    insert_at(lines_.size(), std::move(lines));
    return;
  }

  size_t end = header + 1;
  while (end < lines_.size() && !SectionName(lines_[end].text)) ++end;

  // The key's lines, one after the other within the section: the leading ones
  // whole, the last up to its '='.
  const size_t count = key_lines.size();
  for (size_t first = header + 1; first + count <= end; ++first) {
    bool match = true;
    for (size_t k = 0; k + 1 < count && match; ++k) {
      match = EqualNoCase(TrimBlanks(lines_[first + k].text), TrimBlanks(key_lines[k]));
    }
    if (!match) continue;
    Line& last = lines_[first + count - 1];
    const std::optional<std::string_view> line_key = LineKey(last.text);
    if (!line_key || !EqualNoCase(*line_key, TrimBlanks(key_lines.back()))) continue;
    last.text.resize(last.text.find('=') + 1);
    last.text += value;
    return;
  }

  // After the section's last line that is not blank, so blank lines that part it
  // from the next section stay there.
  size_t at = end;
  while (at > header + 1 && TrimBlanks(lines_[at - 1].text).empty()) --at;
  insert_at(at, key_value_lines());
}

std::string IniFile::Serialize() const {
  std::string text;
  size_t size = 0;
  for (const Line& line : lines_) size += line.text.size() + line.eol.size();
  text.reserve(size);
  for (const Line& line : lines_) {
    text += line.text;
    text += line.eol;
  }
  return EncodeText(text, encoding_);
}

bool IniFile::Save(std::string* error) {
  // A file that is there but could not be read would be replaced by just the
  // keys written since; refuse rather than lose its contents.
  if (!error_.empty()) {
    if (error) *error = "Can't write " + path_.string() + ": it could not be read (" + error_ + ")";
    return false;
  }
  if (!WriteFileAtomically(path_, Serialize(), error)) return false;
  exists_ = true;
  return true;
}

void IniFile::EraseSection(std::string_view section) {
  section = TrimBlanks(section);
  std::vector<Line> kept;
  kept.reserve(lines_.size());
  bool erasing = false;  // lines before the first header belong to no section
  for (Line& line : lines_) {
    if (const std::optional<std::string_view> name = SectionName(line.text)) {
      erasing = EqualNoCase(*name, section);
    }
    if (!erasing) kept.push_back(std::move(line));
  }
  lines_ = std::move(kept);
}

}  // namespace tw
