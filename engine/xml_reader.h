// A forgiving XML reader for XSPF and ASX playlists. Station playlists are
// often hand-written and not well-formed (a bare '&' in a URL, upper-case ASX
// tags), so this reads tags and text without validating. Pure. Implemented in
// xml_reader.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tw::engine {

struct XmlItem {
  enum class Kind { kEnd, kStartTag, kEndTag, kText, kCdata };
  Kind kind = Kind::kEnd;
  std::string_view name;   // tags: local name, any "prefix:" removed
  std::string_view attrs;  // start tags: what follows the name
  std::string_view text;   // text (entities not yet decoded) and CDATA
  bool selfClosing = false;
};

class XmlReader {
 public:
  explicit XmlReader(std::string_view s) : rest_(s) {}

  // The next tag, text or CDATA section; kEnd when the input is used up (or
  // ends inside a comment, CDATA section or tag).
  XmlItem Next();

 private:
  bool Skip(std::size_t found, std::size_t terminatorLength) {
    if (found == std::string_view::npos) return false;
    rest_.remove_prefix(found + terminatorLength);
    return true;
  }

  std::string_view rest_;
};

// The raw value of attribute `name` (any case) in a start tag's attribute text.
// Values may be in double quotes, single quotes or none.
std::optional<std::string_view> FindXmlAttribute(std::string_view attrs, std::string_view name);

// Appends `text` with XML entities decoded; an unknown or broken entity stays
// as written. Never longer than `text`.
void AppendXmlDecoded(std::string_view text, std::string* out);

}  // namespace tw::engine
