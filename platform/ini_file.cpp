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

bool IsComment(std::string_view line) {
  const std::string_view text = TrimSpacesAndTabs(line);
  return !text.empty() && text.front() == ';';
}

// "[name]" after optional blanks gives the name without its surrounding blanks.
// Anything after the last ']' is ignored; a '[' without ']' is no header.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view text = TrimSpacesAndTabs(line);
  if (text.empty() || text.front() != '[') return std::nullopt;
  const size_t close = text.rfind(']');
  if (close == text.npos || close == 0) return std::nullopt;
  return TrimSpacesAndTabs(text.substr(1, close - 1));
}

// The key of a "key=value" line, or nullopt for a line without '='.
std::optional<std::string_view> LineKey(std::string_view line) {
  const size_t equals = line.find('=');
  if (equals == line.npos) return std::nullopt;
  return TrimSpacesAndTabs(line.substr(0, equals));
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
  text = TrimSpacesAndTabs(text);
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
    AddLine(Line{std::string(text), std::string(eol)});
  });
}

void IniFile::AddLine(Line line) {
  if (const std::optional<std::string_view> name = SectionName(line.text)) {
    byName_[AsciiLowered(*name)].push_back(sections_.size());
    sections_.emplace_back();
  }
  sections_.back().lines.push_back(std::move(line));
}

void IniFile::IndexAgain() {
  std::vector<Section> old = std::move(sections_);
  sections_.assign(1, Section{});
  byName_.clear();
  for (Section& section : old) {
    if (section.erased) continue;
    for (Line& line : section.lines) AddLine(std::move(line));
  }
}

const IniFile::Section* IniFile::Find(std::string_view name) const {
  const auto found = byName_.find(AsciiLowered(name));
  if (found == byName_.end() || found->second.empty()) return nullptr;
  return &sections_[found->second.front()];
}

std::string IniFile::NewLineEnd() const {
  for (const Section& section : sections_) {
    if (section.erased) continue;
    for (const Line& line : section.lines) {
      if (!line.eol.empty()) return line.eol;
    }
  }
  return "\r\n";
}

std::string IniFile::ReadString(std::string_view sectionName, std::string_view key,
                                std::string_view fallback) const {
  key = TrimSpacesAndTabs(key);
  // Only the first section of the name counts.
  const Section* section = Find(TrimSpacesAndTabs(sectionName));
  if (!section) return std::string(fallback);
  for (size_t i = 1; i < section->lines.size(); ++i) {
    const std::string& text = section->lines[i].text;
    if (IsComment(text)) continue;
    const std::optional<std::string_view> lineKey = LineKey(text);
    if (!lineKey || !EqualNoCase(*lineKey, key)) continue;

    std::string_view value = TrimSpacesAndTabs(std::string_view(text).substr(text.find('=') + 1));
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

bool IniFile::AnyHeader(const std::vector<Line>& lines) {
  for (const Line& line : lines) {
    if (SectionName(line.text)) return true;
  }
  return false;
}

void IniFile::WriteString(std::string_view sectionIn, std::string_view key,
                          std::string_view valueIn) {
  const std::string section = WithoutLineBreaks(TrimSpacesAndTabs(sectionIn));
  const std::string value = WithoutLineBreaks(valueIn);

  // A key may span lines; all but the last are written as they are, and the last
  // is followed by "=" and the value.
  std::vector<std::string> keyLines;
  ForEachLine(key, [&](std::string_view text, std::string_view) { keyLines.emplace_back(text); });
  if (keyLines.empty() || (!key.empty() && (key.back() == '\r' || key.back() == '\n'))) {
    keyLines.emplace_back();
  }

  // Ansi holds only Windows-1252; writing such a file back with '?' for the rest
  // would lose text the user entered, so the file becomes UTF-8 with a BOM, which
  // keeps everything and which the reader recognises by that BOM.
  if (encoding_ == TextEncoding::Ansi &&
      !(CanEncodeAnsi(section) && CanEncodeAnsi(key) && CanEncodeAnsi(value))) {
    encoding_ = TextEncoding::Utf8Bom;
  }

  const std::string eol = NewLineEnd();
  std::vector<Line> keyValue;
  for (size_t i = 0; i + 1 < keyLines.size(); ++i) keyValue.push_back(Line{keyLines[i], eol});
  keyValue.push_back(Line{keyLines.back() + "=" + value, eol});

  const auto found = byName_.find(AsciiLowered(section));
  if (found == byName_.end() || found->second.empty()) {
    AppendSection(section, std::move(keyValue), eol);
    return;
  }
  std::vector<Line>& lines = sections_[found->second.front()].lines;
  if (ReplaceValue(lines, keyLines, value)) return;
  AppendKey(lines, std::move(keyValue), eol);
}

bool IniFile::ReplaceValue(std::vector<Line>& lines, const std::vector<std::string>& keyLines,
                           std::string_view value) {
  // The key's lines, one after the other within the section: the leading ones
  // whole, the last up to its '='.
  const size_t end = lines.size();
  const size_t count = keyLines.size();
  for (size_t first = 1; first + count <= end; ++first) {
    bool match = true;
    for (size_t k = 0; k + 1 < count && match; ++k) {
      match = EqualNoCase(TrimSpacesAndTabs(lines[first + k].text), TrimSpacesAndTabs(keyLines[k]));
    }
    if (!match) continue;
    Line& last = lines[first + count - 1];
    const std::optional<std::string_view> lineKey = LineKey(last.text);
    if (!lineKey || !EqualNoCase(*lineKey, TrimSpacesAndTabs(keyLines.back()))) continue;
    last.text.resize(last.text.find('=') + 1);
    last.text += value;
    if (SectionName(last.text)) IndexAgain();
    return true;
  }
  return false;
}

void IniFile::AppendKey(std::vector<Line>& lines, std::vector<Line> keyValue,
                        const std::string& eol) {
  // After the section's last line that is not blank, so blank lines that part it
  // from the next section stay there.
  size_t at = lines.size();
  while (at > 1 && TrimSpacesAndTabs(lines[at - 1].text).empty()) --at;
  if (lines[at - 1].eol.empty()) lines[at - 1].eol = eol;
  const bool headerMade = AnyHeader(keyValue);
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at),
               std::make_move_iterator(keyValue.begin()), std::make_move_iterator(keyValue.end()));
  if (headerMade) IndexAgain();
}

void IniFile::AppendSection(const std::string& section, std::vector<Line> keyValue,
                            const std::string& eol) {
  // The line before the new section, the file's last, gets a line end.
  for (auto it = sections_.rbegin(); it != sections_.rend(); ++it) {
    if (it->erased || it->lines.empty()) continue;
    if (it->lines.back().eol.empty()) it->lines.back().eol = eol;
    break;
  }
  Section added;
  added.lines.push_back(Line{"[" + section + "]", eol});
  const bool headerMade = AnyHeader(keyValue);
  for (Line& line : keyValue) added.lines.push_back(std::move(line));
  const std::string name = AsciiLowered(*SectionName(added.lines.front().text));
  byName_[name].push_back(sections_.size());
  sections_.push_back(std::move(added));
  if (headerMade) IndexAgain();
}

std::string IniFile::Serialize() const {
  std::string text;
  size_t size = 0;
  for (const Section& section : sections_) {
    for (const Line& line : section.lines) size += line.text.size() + line.eol.size();
  }
  text.reserve(size);
  for (const Section& section : sections_) {
    for (const Line& line : section.lines) {
      text += line.text;
      text += line.eol;
    }
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
  const auto found = byName_.find(AsciiLowered(TrimSpacesAndTabs(section)));
  if (found == byName_.end()) return;
  for (const size_t index : found->second) {
    sections_[index].erased = true;
    std::vector<Line>().swap(sections_[index].lines);
  }
  byName_.erase(found);
}

}  // namespace tw
