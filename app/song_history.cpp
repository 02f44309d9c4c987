#include "app/song_history.h"

#include <charconv>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>

#include "platform/text.h"

namespace tw {

namespace {

constexpr std::string_view kHeader =
    "# Tunewell song history 1: local time, station, title (tab-separated)\n";

// Cuts at a character boundary, so a cut title is still UTF-8.
std::string Cut(std::string text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  std::size_t end = bytes;
  while (end > 0 && !StartsCharacter(text[end])) --end;
  text.resize(end);
  return text;
}

void AppendEscaped(std::string& out, std::string_view field) {
  for (char c : field) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
}

std::string Unescaped(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char next = field[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Number(std::string_view text, std::size_t at, std::size_t digits, int* value) {
  if (at + digits > text.size()) return false;
  for (std::size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  std::from_chars(text.data() + at, text.data() + at + digits, *value);
  return true;
}

std::optional<SongEntry> ParseLine(std::string_view line) {
  if (line.find('\0') != line.npos) return std::nullopt;
  const std::size_t tab1 = line.find('\t');
  if (tab1 == line.npos) return std::nullopt;
  const std::size_t tab2 = line.find('\t', tab1 + 1);
  if (tab2 == line.npos || line.find('\t', tab2 + 1) != line.npos) return std::nullopt;
  SongEntry entry;
  if (!ParseLocalTime(line.substr(0, tab1), &entry.time, &entry.utcOffset)) return std::nullopt;
  entry.station = Cut(Unescaped(line.substr(tab1 + 1, tab2 - tab1 - 1)), kSongHistoryStationBytes);
  entry.title = Cut(Unescaped(line.substr(tab2 + 1)), kSongHistoryTitleBytes);
  if (entry.title.empty()) return std::nullopt;
  return entry;
}

}  // namespace

bool SongHistory::Add(SongEntry entry) {
  if (entry.title.empty()) return false;
  entry.title = Cut(std::move(entry.title), kSongHistoryTitleBytes);
  entry.station = Cut(std::move(entry.station), kSongHistoryStationBytes);
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->station != entry.station) continue;
    if (it->title == entry.title) return false;
    break;
  }
  entries_.push_back(std::move(entry));
  if (entries_.size() > kSongHistoryLimit) {
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(
                                                            entries_.size() - kSongHistoryLimit));
  }
  return true;
}

bool SongHistory::Restation(const std::string& title, std::string station) {
  station = Cut(std::move(station), kSongHistoryStationBytes);
  if (entries_.empty() || entries_.back().title != title || entries_.back().station == station) {
    return false;
  }
  entries_.back().station = std::move(station);
  return true;
}

void SongHistory::Assign(std::vector<SongEntry> entries) {
  entries_.clear();
  for (SongEntry& entry : entries) Add(std::move(entry));
}

std::string SongHistoryText(const std::vector<SongEntry>& entries) {
  std::string out(kHeader);
  const std::size_t first =
      entries.size() > kSongHistoryLimit ? entries.size() - kSongHistoryLimit : 0;
  for (std::size_t i = first; i < entries.size(); ++i) {
    const SongEntry& entry = entries[i];
    out += LocalTimeText(entry.time, entry.utcOffset);
    out += '\t';
    AppendEscaped(out, entry.station);
    out += '\t';
    AppendEscaped(out, entry.title);
    out += '\n';
  }
  return out;
}

std::vector<SongEntry> ParseSongHistory(std::string_view text) {
  std::vector<SongEntry> entries;
  ForEachLine(text, [&](std::string_view line, std::string_view end) {
    // Every entry is written with its line end: a line without one was cut off.
    if (end.empty()) return;
    if (auto entry = ParseLine(line)) entries.push_back(std::move(*entry));
  });
  if (entries.size() > kSongHistoryLimit) {
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(
                                                         entries.size() - kSongHistoryLimit));
  }
  return entries;
}

std::vector<SongEntry> ReadSongHistoryFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0) return {};
  const auto limit = static_cast<std::streamoff>(kSongHistoryReadBytes);
  const std::streamoff from = size > limit ? size - limit : 0;
  in.seekg(from);
  std::string bytes(static_cast<std::size_t>(size - from), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  std::string_view text = bytes;
  // Read from the middle of a line: that line is not whole.
  if (from > 0) {
    const std::size_t lineEnd = text.find('\n');
    text = lineEnd == text.npos ? std::string_view() : text.substr(lineEnd + 1);
  }
  return ParseSongHistory(text);
}

std::string LocalTimeText(int64_t time, int utcOffset) {
  const int64_t local = time + utcOffset;
  int64_t days = local / 86400;
  int64_t seconds = local % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01.
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
  const int offset = utcOffset < 0 ? -utcOffset : utcOffset;
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d%c%02d:%02d",
                static_cast<long long>(year), month, day, static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
                utcOffset < 0 ? '-' : '+', offset / 3600, offset / 60 % 60);
  return text;
}

bool ParseLocalTime(std::string_view text, int64_t* time, int* utcOffset) {
  // YYYY-MM-DDTHH:MM:SS+HH:MM
  if (text.size() != 25 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || (text[19] != '+' && text[19] != '-') || text[22] != ':') {
    return false;
  }
  int year, month, day, hour, minute, second, offHours, offMinutes;
  if (!Number(text, 0, 4, &year) || !Number(text, 5, 2, &month) || !Number(text, 8, 2, &day) ||
      !Number(text, 11, 2, &hour) || !Number(text, 14, 2, &minute) ||
      !Number(text, 17, 2, &second) || !Number(text, 20, 2, &offHours) ||
      !Number(text, 23, 2, &offMinutes)) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
      offHours > 18 || offMinutes > 59) {
    return false;
  }
  const int offset = (text[19] == '-' ? -1 : 1) * (offHours * 3600 + offMinutes * 60);
  const int64_t local =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
      hour * 3600 + minute * 60 + second;
  *time = local - offset;
  *utcOffset = offset;
  return true;
}

SongEntry SongEntryNow(std::string station, std::string title) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {static_cast<int64_t>(now), static_cast<int>(local.tm_gmtoff), std::move(station),
          std::move(title)};
}

}  // namespace tw
