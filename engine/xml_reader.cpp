#include "engine/xml_reader.h"

#include <charconv>
#include <cstdint>

#include "platform/text.h"

namespace tw::engine {
namespace {

void AppendUtf8(std::uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The character an entity body ("amp", "#38", "#x26") stands for, UTF-8 encoded.
std::optional<std::string> DecodeEntity(std::string_view body) {
  if (body == "amp") return "&";
  if (body == "lt") return "<";
  if (body == "gt") return ">";
  if (body == "quot") return "\"";
  if (body == "apos") return "'";
  if (body.size() < 2 || body[0] != '#') return std::nullopt;
  body.remove_prefix(1);
  int base = 10;
  if (body[0] == 'x' || body[0] == 'X') {
    base = 16;
    body.remove_prefix(1);
  }
  std::uint32_t cp = 0;
  const char* end = body.data() + body.size();
  auto [ptr, ec] = std::from_chars(body.data(), end, cp, base);
  if (body.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  std::string out;
  AppendUtf8(cp, &out);
  return out;
}

}  // namespace

XmlItem XmlReader::Next() {
  while (!rest_.empty()) {
    XmlItem item;
    if (rest_.front() != '<') {
      std::size_t end = rest_.find('<');
      item.kind = XmlItem::Kind::kText;
      item.text = rest_.substr(0, end);
      rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end);
      return item;
    }
    if (rest_.starts_with("<!--")) {
      if (!Skip(rest_.find("-->", 4), 3)) break;
      continue;
    }
    if (rest_.starts_with("<![CDATA[")) {
      std::size_t end = rest_.find("]]>", 9);
      if (end == std::string_view::npos) break;
      item.kind = XmlItem::Kind::kCdata;
      item.text = rest_.substr(9, end - 9);
      rest_.remove_prefix(end + 3);
      return item;
    }
    if (rest_.starts_with("<!") || rest_.starts_with("<?")) {
      if (!Skip(rest_.find('>'), 1)) break;
      continue;
    }
    // A tag: the first '>' outside quotes ends it.
    std::size_t i = 1;
    char quote = 0;
    for (; i < rest_.size(); ++i) {
      char c = rest_[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (i == rest_.size()) break;
    std::string_view inner = rest_.substr(1, i - 1);
    rest_.remove_prefix(i + 1);
    item.kind = XmlItem::Kind::kStartTag;
    if (inner.starts_with("/")) {
      item.kind = XmlItem::Kind::kEndTag;
      inner.remove_prefix(1);
    }
    if (inner.ends_with("/")) {
      item.selfClosing = true;
      inner.remove_suffix(1);
    }
    std::size_t nameEnd = 0;
    while (nameEnd < inner.size() && !IsAsciiSpace(inner[nameEnd]) && inner[nameEnd] != '/') {
      ++nameEnd;
    }
    item.name = inner.substr(0, nameEnd);
    if (std::size_t colon = item.name.rfind(':'); colon != std::string_view::npos) {
      item.name.remove_prefix(colon + 1);
    }
    item.attrs = inner.substr(nameEnd);
    return item;
  }
  rest_ = {};
  return {};
}

std::optional<std::string_view> FindXmlAttribute(std::string_view attrs, std::string_view name) {
  std::size_t i = 0;
  const std::size_t n = attrs.size();
  while (i < n) {
    while (i < n && (IsAsciiSpace(attrs[i]) || attrs[i] == '/')) ++i;
    std::size_t nameStart = i;
    while (i < n && !IsAsciiSpace(attrs[i]) && attrs[i] != '=' && attrs[i] != '/') ++i;
    std::string_view attrName = attrs.substr(nameStart, i - nameStart);
    while (i < n && IsAsciiSpace(attrs[i])) ++i;
    std::string_view value;
    if (i < n && attrs[i] == '=') {
      ++i;
      while (i < n && IsAsciiSpace(attrs[i])) ++i;
      if (i < n && (attrs[i] == '"' || attrs[i] == '\'')) {
        char quote = attrs[i++];
        std::size_t end = attrs.find(quote, i);
        if (end == std::string_view::npos) end = n;
        value = attrs.substr(i, end - i);
        i = end == n ? n : end + 1;
      } else {
        std::size_t start = i;
        while (i < n && !IsAsciiSpace(attrs[i])) ++i;
        value = attrs.substr(start, i - start);
      }
    } else if (attrName.empty() && i < n) {
      ++i;  // stray character; move on so the loop always advances
    }
    if (!attrName.empty() && EqualNoCase(attrName, name)) return value;
  }
  return std::nullopt;
}

void AppendXmlDecoded(std::string_view text, std::string* out) {
  // "#x10FFFF" is the longest body worth decoding; looking further for the ';'
  // would let a flood of '&' cost quadratic time.
  constexpr std::size_t kLongestEntity = 10;
  while (!text.empty()) {
    std::size_t amp = text.find('&');
    out->append(text.substr(0, amp));
    if (amp == std::string_view::npos) return;
    text.remove_prefix(amp);
    std::size_t semi = text.substr(0, kLongestEntity + 2).find(';');
    std::optional<std::string> decoded;
    if (semi != std::string_view::npos) decoded = DecodeEntity(text.substr(1, semi - 1));
    if (decoded) {
      out->append(*decoded);
      text.remove_prefix(semi + 1);
    } else {
      out->push_back('&');
      text.remove_prefix(1);
    }
  }
}

}  // namespace tw::engine
