// What keeping a station's last minutes costs, for a 320 kbps MP3 station:
// - CPU: the network thread's appends (copy into the keep, title marks, heads)
//   for an hour of audio, as thread CPU time per second of audio, against the
//   stream's own decode cost measured in the same run (the ffmpeg tool decoding
//   the same bytes; its start-up taken out). Target: under 0.05 % of a core.
// - Memory: the process's VmRSS while an hour is fed as fast as it goes: flat
//   once the keep is full (the byte bound, 32 MB, governs when fed faster
//   than real time; in real time ten minutes come first, 24 MB).
// - Saving a 5-minute song (12 MB) into a file, against writing the same bytes
//   to a file and against the ffmpeg tool remuxing them. Target: under 200 ms.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/recent_audio.h"
#include "engine/song_export.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr double kBytesPerSecond = 320000 / 8;

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The machine's load: the wall-clock figures mean little on a busy machine.
std::string LoadAverage() {
  std::string text = "?\n";
  if (FILE* file = std::fopen("/proc/loadavg", "r")) {
    char line[128];
    if (std::fgets(line, sizeof line, file)) text = line;
    std::fclose(file);
  }
  return text;
}

// `seconds` of the station as one byte string (the encoded minute repeated).
std::string Station(const std::string& minute, double seconds) {
  const auto bytes = static_cast<std::size_t>(seconds * kBytesPerSecond);
  std::string out;
  out.reserve(bytes + minute.size());
  while (out.size() < bytes) out += minute;
  out.resize(bytes);
  return out;
}

// Feeds `seconds` of the station (the encoded minute over and over) in
// network-sized pieces, a new title every `titleEvery` seconds of it. Returns
// the thread's CPU seconds; samples VmRSS every minute of audio.
double Feed(tw::engine::RecentAudio& keep, const std::string& minute, double seconds,
            std::size_t piece, double titleEvery, std::vector<long>* rssPerMinute) {
  const auto total = static_cast<std::size_t>(seconds * kBytesPerSecond);
  const auto titleBytes = static_cast<std::size_t>(titleEvery * kBytesPerSecond);
  const auto minuteBytes = static_cast<std::size_t>(60 * kBytesPerSecond);
  const double start = ThreadCpuSeconds();
  std::size_t nextTitle = 0, nextMinute = minuteBytes;
  int title = 0;
  for (std::size_t at = 0; at < total; at += piece) {
    if (at >= nextTitle) {
      keep.Title("Bench - Song " + std::to_string(++title));
      nextTitle += titleBytes;
    }
    const std::size_t from = at % minute.size();
    keep.Append(std::string_view(minute).substr(from, std::min(piece, minute.size() - from)));
    if (rssPerMinute && at >= nextMinute) {
      rssPerMinute->push_back(tw::bench::StatusKb("self", "VmRSS"));
      nextMinute += minuteBytes;
    }
  }
  return ThreadCpuSeconds() - start;
}

// The ffmpeg tool's CPU seconds to decode `file`.
double FfmpegDecode(const fs::path& file) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    tw::bench::Child ffmpeg({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f",
                             "mp3", "-i", file.string(), "-f", "null", "-"},
                            false);
    ffmpeg.Wait();
    best = std::min(best, ffmpeg.CpuSeconds());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const bool saveOnly = argc > 1 && std::string(argv[1]) == "--save-only";
  tw::test::ToneSpec tone;
  tone.bitrate = 320000;
  tone.seconds = 60;
  const std::string minute = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, tone);
  tw::test::TempFolder folder;
  std::printf("Keeping a 320 kbps MP3 station (%.1f MB an hour)\n\n", 3600 * kBytesPerSecond / 1e6);

  if (!saveOnly) {
    // --- Memory ------------------------------------------------------------------
    {
      const long before = tw::bench::StatusKb("self", "VmRSS");
      std::vector<long> rss;
      tw::engine::RecentAudio keep(tw::engine::KeepBounds{});
      Feed(keep, minute, 3600, 1460, 180, &rss);
      std::printf("Memory, an hour fed as fast as it goes (VmRSS before: %.1f MB):\n",
                  static_cast<double>(before) / 1024);
      for (std::size_t m = 0; m < rss.size(); m += 5) {
        std::printf("  minute %2zu: %.1f MB\n", m + 1, static_cast<double>(rss[m]) / 1024);
      }
      long lowest = rss.back(), highest = rss.back();
      for (std::size_t m = 15; m < rss.size(); ++m) {
        lowest = std::min(lowest, rss[m]);
        highest = std::max(highest, rss[m]);
      }
      std::printf("  minutes 16 to 60: %.1f to %.1f MB; kept %.1f MB (bound %.1f MB)\n",
                  static_cast<double>(lowest) / 1024, static_cast<double>(highest) / 1024,
                  static_cast<double>(keep.KeptBytes()) / 1048576,
                  static_cast<double>(tw::engine::KeepBounds{}.bytes) / 1048576);
    }

    // --- CPU -------------------------------------------------------------------
    // Ten minutes, so that the tool's start-up (the one-second run) is small
    // against its decoding even on a busy machine.
    folder.Write("long.mp3", Station(minute, 600));
    folder.Write("second.mp3", Station(minute, 1));
    const double decode =
        (FfmpegDecode(folder / "long.mp3") - FfmpegDecode(folder / "second.mp3")) / 599;
    std::printf("\nReference, decoding (ffmpeg tool, start-up taken out): %.3f %% of a core\n",
                decode * 100);
    for (const std::size_t piece : {std::size_t{1460}, std::size_t{16384}}) {
      std::vector<double> costs;
      for (int run = 0; run < 3; ++run) {
        tw::engine::RecentAudio keep(tw::engine::KeepBounds{});
        costs.push_back(Feed(keep, minute, 3600, piece, 180, nullptr) / 3600);
      }
      const double cost = tw::bench::Median(costs);
      std::printf(
          "Keeping, pieces of %5zu bytes: %.5f %% of a core (%.1f µs CPU per second of "
          "audio), %.4f of the decode\n",
          piece, cost * 100, cost * 1e6, cost / decode);
    }
  }

  // --- Saving a 5-minute song ----------------------------------------------------
  {
    tw::engine::RecentAudio keep(tw::engine::KeepBounds{});
    keep.BeginSection("audio/mpeg");
    keep.Title("Bench - Before");
    keep.Append(Station(minute, 30));
    keep.Title("Bench - Five minutes");
    const std::string song = Station(minute, 300);
    keep.Append(song);
    keep.Title("Bench - After");
    keep.Append(Station(minute, 10));
    const auto t0 = Clock::now();
    const auto snapshot = keep.Snapshot();
    const double snapshotMs = tw::bench::Ms(Clock::now() - t0);
    std::vector<double> saves, saveCpu, writes, tools;
    for (int run = 0; run < 5; ++run) {
      const auto start = Clock::now();
      const double cpuStart = ThreadCpuSeconds();
      const tw::engine::SongSaveResult saved =
          tw::engine::SaveKeptTitle(*snapshot, 1, folder / "songs", "Bench FM");
      saveCpu.push_back((ThreadCpuSeconds() - cpuStart) * 1000);
      saves.push_back(tw::bench::Ms(Clock::now() - start));
      if (saved.error != 0) {
        std::printf("save failed: %s\n", saved.text.c_str());
        return 1;
      }
      const auto writeStart = Clock::now();
      const std::string bytes = snapshot->Bytes(snapshot->titles[1].start, snapshot->titles[1].end);
      const fs::path plain = folder / ("plain" + std::to_string(run));
      const int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
          fsync(fd) != 0) {
        std::printf("plain write failed\n");
        return 1;
      }
      close(fd);
      writes.push_back(tw::bench::Ms(Clock::now() - writeStart));
      const auto toolStart = Clock::now();
      tw::bench::Child ffmpeg({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                               "-f", "mp3", "-i", plain.string(), "-c", "copy",
                               (folder / ("tool" + std::to_string(run) + ".mp3")).string()},
                              false);
      ffmpeg.Wait();
      tools.push_back(tw::bench::Ms(Clock::now() - toolStart));
    }
    std::printf("\nSaving a 5-minute song (%.1f MB); the snapshot took %.3f ms\n",
                static_cast<double>(song.size()) / 1e6, snapshotMs);
    tw::bench::PrintSpread("SaveKeptTitle (remux, fsync, rename)", saves);
    tw::bench::PrintSpread("its thread's CPU time", saveCpu);
    tw::bench::PrintSpread("the same bytes written and fsynced", writes);
    tw::bench::PrintSpread("ffmpeg -c copy of them (process included)", tools);
    std::printf("  load average now: %s", LoadAverage().c_str());
    std::printf("  ratio to the plain write: %.2f; to ffmpeg: %.2f\n",
                tw::bench::Median(saves) / tw::bench::Median(writes),
                tw::bench::Median(saves) / tw::bench::Median(tools));
  }
  return 0;
}
