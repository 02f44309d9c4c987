// The song history file: its rules, its bounded reader, and its writer killed
// half-way.
#include "app/song_history.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/song_history_writer.h"
#include "tests/support/temp_folder.h"

namespace tw {
namespace {

using test::TempFolder;
using namespace std::string_literals;

SongEntry At(int64_t time, std::string station, std::string title) {
  return {time, 3600, std::move(station), std::move(title)};
}

std::string Titles(const std::vector<SongEntry>& entries) {
  std::string out;
  for (const SongEntry& entry : entries) out += entry.station + ":" + entry.title + " ";
  return out;
}

// Catches a history that records a title again when its station repeats it
// (after a stall, or a station sending the same title every few seconds), that
// drops a title because another station played it last, or that keeps an
// empty title.
TEST(SongHistoryFile, RecordsEachSongOncePerStation) {
  struct {
    std::vector<std::pair<std::string, std::string>> shown;
    const char* kept;
  } cases[] = {
      {{{"A", "x"}, {"A", "x"}}, "A:x "},
      {{{"A", "x"}, {"B", "x"}, {"A", "x"}}, "A:x B:x "},
      {{{"A", "x"}, {"A", "y"}, {"A", "x"}}, "A:x A:y A:x "},
      {{{"A", "x"}, {"B", "y"}, {"A", "x"}, {"B", "z"}}, "A:x B:y B:z "},
      {{{"A", ""}, {"A", "x"}, {"A", ""}}, "A:x "},
  };
  for (const auto& c : cases) {
    SongHistory history;
    for (const auto& [station, title] : c.shown) history.Add(At(1, station, title));
    EXPECT_EQ(Titles(history.entries()), c.kept);
  }
}

// Catches a file that does not give back what was written (a tab, line break
// or backslash in a title splitting its line; non-ASCII text; the local time
// and its offset), a history past its bound, and a reader that trusts whatever
// lies under the file's name: cut-off, binary, foreign or huge files give what
// is readable in them and nothing else.
TEST(SongHistoryFile, ReadsBackWhatIsReadable) {
  TempFolder folder;
  const auto path = folder / kSongHistoryFileName;

  SongHistory written;
  written.Add(At(1765310585, "Radio \xC3\x9C", "Tab\there, line\nbreak, back\\slash"));
  written.Add({1765310600, -18000, "Radio \xC3\x9C", "AC/DC - T.N.T."});
  written.Add(At(1765310700, "B", std::string(10000, 'x')));  // cut to its bound
  const std::string text = SongHistoryText(written.entries());
  EXPECT_EQ(text.substr(text.find('\n') + 1, 26), "2025-12-09T21:03:05+01:00\t");
  EXPECT_NE(text.find("\n2025-12-09T15:03:20-05:00\t"), std::string::npos);
  EXPECT_EQ(ParseSongHistory(text), written.entries());
  EXPECT_EQ(written.entries()[2].title.size(), kSongHistoryTitleBytes);

  SongHistory many;
  for (int i = 0; i < 1005; ++i) many.Add(At(i, "A", "Song " + std::to_string(i)));
  ASSERT_EQ(many.entries().size(), kSongHistoryLimit);
  EXPECT_EQ(many.entries().front().title, "Song 5");
  EXPECT_EQ(ParseSongHistory(SongHistoryText(many.entries())), many.entries());

  const std::string good = "2025-12-09T21:03:05+01:00\tA\tOne\n";
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) % 256);
  struct {
    const char* what;
    std::string file;
    std::vector<std::string> titles;
    std::uintmax_t zerosBefore = 0;  // a sparse file: cheap to make at any size
  } cases[] = {
      {"cut off in its last line", good + "2025-12-09T21:03:06+01:00\tA\tTw", {"One"}},
      {"binary", binary + "\n" + good + binary, {"One"}},
      {"not ours", "{\"songs\": [\"One\", \"Two\"]}\n[MAIN]\nVOLUME=3\n", {}},
      {"bad times and fields",
       "2025-13-09T21:03:05+01:00\tA\tMonth\n2025-12-09 21:03:05+01:00\tA\tBlank\n"
       "2025-12-09T21:03:05+01:00\tA\n2025-12-09T21:03:05+01:00\tA\tB\tC\n"
       "2025-12-09T21:03:05+01:00\tA\t\n" +
           good,
       {"One"}},
      {"NUL in a line", "2025-12-09T21:03:05+01:00\tA\tO\0ne\n"s + good, {"One"}},
      {"100 MB, entries at its end", "\n" + good + good, {"One", "One"}, 100u * 1024 * 1024},
  };
  for (const auto& c : cases) {
    folder.Write(kSongHistoryFileName, "");
    std::filesystem::resize_file(path, c.zerosBefore);
    std::ofstream(path, std::ios::binary | std::ios::app) << c.file;
    std::vector<std::string> titles;
    for (const SongEntry& entry : ReadSongHistoryFile(path)) titles.push_back(entry.title);
    EXPECT_EQ(titles, c.titles) << c.what;
  }
  // The next write replaces whatever was there with the bounded history.
  {
    SongHistory history;
    history.Assign(ReadSongHistoryFile(path));
    history.Add(At(5, "A", "Two"));
    SongHistoryWriter writer(path, 0);
    writer.Post(history.entries());
  }
  EXPECT_LT(std::filesystem::file_size(path), 4096u);
  EXPECT_EQ(Titles(ReadSongHistoryFile(path)), "A:One A:Two ");
  EXPECT_EQ(Titles(ReadSongHistoryFile(folder / "missing.tsv")), "");
}

// Catches a history file torn or emptied by a kill during a write (the player
// killed, the machine losing power), and a restart that loses or repeats what
// was there: a writer process killed at random moments leaves a whole file
// every time, and the next run carries on from it.
TEST(SongHistoryFile, SurvivesKillDuringWrite) {
  TempFolder folder;
  const auto path = folder / kSongHistoryFileName;
  int next = 0;
  for (int run = 0; run < 6; ++run) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // A player that restarts: reads the file, then records a song as fast as
      // its writer takes them.
      SongHistory history;
      history.Assign(ReadSongHistoryFile(path));
      int n = history.entries().empty() ? 0 : std::stoi(history.entries().back().title) + 1;
      SongHistoryWriter writer(path, 0);
      for (;;) {
        history.Add(At(n, "A", std::to_string(n)));
        ++n;
        writer.Post(history.entries());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    // Killed while it writes: once it has carried on from the last run, a few
    // milliseconds later each time.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      const std::vector<SongEntry> now = ReadSongHistoryFile(path);
      if (!now.empty() && std::stoi(now.back().title) >= next) break;
      if (std::chrono::steady_clock::now() > limit) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + 11 * run));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    const std::string text = [&] {
      std::ifstream in(path, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    const std::vector<SongEntry> entries = ParseSongHistory(text);
    ASSERT_FALSE(entries.empty()) << "run " << run;
    // Whole: exactly what the writer writes for these entries.
    EXPECT_EQ(text, SongHistoryText(entries)) << "run " << run;
    EXPECT_LE(entries.size(), kSongHistoryLimit);
    // Carried on from the last run's file, one song after another.
    const int first = std::stoi(entries.front().title);
    EXPECT_LE(first, next) << "run " << run;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].title, std::to_string(first + static_cast<int>(i))) << "run " << run;
    }
    const int last = std::stoi(entries.back().title);
    EXPECT_GE(last, next) << "run " << run;
    next = last + 1;
  }
}

}  // namespace
}  // namespace tw
