#include "engine/urls.h"

#include <optional>

#include "platform/text.h"

namespace tw::engine {
namespace {

// Length of the scheme when `s` starts with one ("http" in "http://x"): a letter,
// then letters, digits, '+', '-' or '.', then ':'.
std::optional<std::size_t> SchemeLength(std::string_view s) {
  if (s.empty() || !IsAsciiAlpha(s[0])) return std::nullopt;
  std::size_t i = 1;
  while (i < s.size() &&
         (IsAsciiAlpha(s[i]) || IsAsciiDigit(s[i]) || s[i] == '+' || s[i] == '-' || s[i] == '.')) {
    ++i;
  }
  if (i < s.size() && s[i] == ':') return i;
  return std::nullopt;
}

struct UrlParts {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  std::string_view path;
  std::optional<std::string_view> query;
  std::optional<std::string_view> fragment;
};

UrlParts SplitUrl(std::string_view s) {
  UrlParts p;
  if (auto n = SchemeLength(s)) {
    p.scheme = s.substr(0, *n);
    s.remove_prefix(*n + 1);
  }
  if (s.starts_with("//")) {
    s.remove_prefix(2);
    std::size_t end = s.find_first_of("/?#");
    p.authority = s.substr(0, end);
    s = end == std::string_view::npos ? std::string_view() : s.substr(end);
  }
  if (std::size_t hash = s.find('#'); hash != std::string_view::npos) {
    p.fragment = s.substr(hash + 1);
    s = s.substr(0, hash);
  }
  if (std::size_t question = s.find('?'); question != std::string_view::npos) {
    p.query = s.substr(question + 1);
    s = s.substr(0, question);
  }
  p.path = s;
  return p;
}

// RFC 3986 5.2.4. Each input byte is moved or dropped once and each dropped
// output segment was added once, so this stays linear on "../../../..." floods.
std::string RemoveDotSegments(std::string_view in) {
  static constexpr std::string_view kSlash = "/";
  std::string out;
  out.reserve(in.size());
  auto popSegment = [&out] {
    std::size_t slash = out.rfind('/');
    out.resize(slash == std::string::npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.remove_prefix(3);
    } else if (in.starts_with("./")) {
      in.remove_prefix(2);
    } else if (in.starts_with("/./")) {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = kSlash;
    } else if (in.starts_with("/../")) {
      in.remove_prefix(3);
      popSegment();
    } else if (in == "/..") {
      in = kSlash;
      popSegment();
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      std::size_t end = in.find('/', 1);
      if (end == std::string_view::npos) end = in.size();
      out.append(in.substr(0, end));
      in.remove_prefix(end);
    }
  }
  return out;
}

std::string JoinUrl(std::string_view scheme, std::optional<std::string_view> authority,
                    std::string_view path, std::optional<std::string_view> query,
                    std::optional<std::string_view> fragment) {
  std::string out;
  out.reserve(scheme.size() + path.size() + 8 + (authority ? authority->size() : 0) +
              (query ? query->size() : 0) + (fragment ? fragment->size() : 0));
  out.append(scheme).push_back(':');
  if (authority) out.append("//").append(*authority);
  out.append(path);
  if (query) out.append("?").append(*query);
  if (fragment) out.append("#").append(*fragment);
  return out;
}

}  // namespace

std::string_view UrlPath(std::string_view url) { return SplitUrl(url).path; }

std::string ResolveUrl(std::string_view base, std::string_view reference) {
  UrlParts ref = SplitUrl(reference);
  if (ref.scheme) {
    return JoinUrl(*ref.scheme, ref.authority, RemoveDotSegments(ref.path), ref.query,
                   ref.fragment);
  }
  UrlParts b = SplitUrl(base);
  if (!b.scheme) return {};
  if (ref.authority) {
    return JoinUrl(*b.scheme, ref.authority, RemoveDotSegments(ref.path), ref.query, ref.fragment);
  }
  if (ref.path.empty()) {
    // RFC 3986 keeps the base path as it is here; normalising it too (which it
    // allows) gives "?q" entries the same form as every other entry.
    return JoinUrl(*b.scheme, b.authority, RemoveDotSegments(b.path),
                   ref.query ? ref.query : b.query, ref.fragment);
  }
  if (ref.path.front() == '/') {
    return JoinUrl(*b.scheme, b.authority, RemoveDotSegments(ref.path), ref.query, ref.fragment);
  }
  std::string merged;
  if (b.authority && b.path.empty()) {
    merged = "/";
  } else {
    std::size_t slash = b.path.rfind('/');
    if (slash != std::string_view::npos) merged = b.path.substr(0, slash + 1);
  }
  merged.append(ref.path);
  return JoinUrl(*b.scheme, b.authority, RemoveDotSegments(merged), ref.query, ref.fragment);
}

bool IsAllowedScheme(std::string_view url) {
  std::optional<std::size_t> length = SchemeLength(url);
  if (!length) return false;
  std::string_view scheme = url.substr(0, *length);
  if (!EqualNoCase(scheme, "http") && !EqualNoCase(scheme, "https")) return false;
  std::string_view rest = url.substr(*length + 1);
  // "http:foo" and "http:///x" name no host; libcurl would guess one.
  return rest.size() > 2 && rest.starts_with("//") && rest.find_first_of("/?#", 2) != 2;
}

std::string CleanEntryUrl(std::string_view base, std::string_view entry) {
  entry = TrimAsciiSpace(entry);
  if (entry.empty() || entry.size() > kMaxUrlLength) return {};
  std::string resolved = ResolveUrl(base, entry);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(resolved.size());
  for (char c : resolved) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return {};
    if (byte == ' ' || byte >= 0x80) {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(c);
    }
    if (out.size() > kMaxUrlLength) return {};
  }
  if (!IsAllowedScheme(out)) return {};
  return out;
}

}  // namespace tw::engine
