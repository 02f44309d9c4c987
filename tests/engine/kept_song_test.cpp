// Saving a song just heard: the engine keeps the station's last minutes with
// its title marks, and a kept title goes into a file of the stream's own codec.
// The files are checked with the ffprobe tool, as another player would read
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine_keep.h"
#include "engine/recent_audio.h"
#include "tests/engine/stream_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/failure_conditions.h"
#include "tests/support/hls_fmp4.h"
#include "tests/support/temp_folder.h"

namespace tw::engine::test {
namespace {

namespace fs = std::filesystem;

constexpr double kSpan = 3;  // seconds between the station's titles
const char* const kTitles[] = {"Band - One", "Band - Two", "Band - Three"};

struct Probe {
  std::string format, codec, title, artist, album;
  double duration = -1;
};

// What ffprobe reads in the file: container, codec, duration and tags (Ogg
// keeps them with the stream, the others with the file).
Probe ProbeFile(const fs::path& file) {
  tw::test::ChildProcess ffprobe(
      "/usr/bin/ffprobe",
      {"-v", "error", "-show_entries",
       "format=format_name,duration:format_tags:stream=codec_name:stream_tags", "-of",
       "default=nw=1", file.string()},
      {});
  ffprobe.Wait(std::chrono::seconds(20));
  Probe probe;
  std::istringstream lines(ffprobe.output());
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    const std::string value = line.substr(equals + 1);
    if (key == "format_name") probe.format = value;
    if (key == "codec_name") probe.codec = value;
    if (key == "duration" && value != "N/A") probe.duration = std::stod(value);
    if (key == "tag:title") probe.title = value;
    if (key == "tag:artist") probe.artist = value;
    if (key == "tag:album") probe.album = value;
  }
  return probe;
}

// Seconds into `body` (a file of the format) where the packet at or after byte
// `offset` begins, by ffprobe's own reading of the body.
double SecondsAt(const std::string& body, std::size_t offset) {
  tw::test::TempFolder folder;
  folder.Write("body", body);
  tw::test::ChildProcess ffprobe("/usr/bin/ffprobe",
                                 {"-v", "error", "-show_entries", "packet=pts_time,pos", "-of",
                                  "csv=p=0", (folder / "body").string()},
                                 {});
  ffprobe.Wait(std::chrono::seconds(20));
  std::istringstream lines(ffprobe.output());
  double first = -1;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    const double time = std::stod(line.substr(0, comma));
    if (first < 0) first = time;
    if (std::stoull(line.substr(comma + 1)) >= offset) return time - first;
  }
  return -1;
}

class KeptSongTest : public StreamTest {
 protected:
  void SetUp() override {
    // A long playback buffer: the engine reads the station seconds ahead.
    BASS_SetConfig(BASS_CONFIG_BUFFER, 5000);
    StreamTest::SetUp();
  }
  void TearDown() override {
    StreamTest::TearDown();
    BASS_SetConfig(BASS_CONFIG_BUFFER, 500);
    SetKeepBounds(KeepBounds{});
  }

  // Waits until the stream keeps `count` titles; the snapshot then (0 on time-out).
  HKEPT WaitForTitles(HSTREAM stream, DWORD count) {
    HKEPT kept = 0;
    WaitFor([&] {
      if (kept) BASS_KeptFree(kept);
      kept = BASS_KeptTake(stream);
      return BASS_KeptCount(kept) >= count;
    });
    return kept;
  }

  static int IndexOf(HKEPT kept, const std::string& title) {
    BASS_KEPTINFO info{};
    for (DWORD i = 0; BASS_KeptGetInfo(kept, i, &info); ++i) {
      if (info.title == title) return static_cast<int>(i);
    }
    return -1;
  }

  // An ICY station sending `body` with a title every kSpan seconds of it
  // (offsets rounded to the metadata interval); the span of the second title.
  double ServeIcy(const std::string& contentType, const std::string& body,
                  std::size_t bytesPerSpan) {
    constexpr std::size_t kMetaint = 2000;
    RadioServer::Route route;
    route.statusLine = "ICY 200 OK";
    route.headers = {"Content-Type: " + contentType, "icy-name:Test FM"};
    route.body = body;
    route.metaint = kMetaint;
    std::size_t at[3];
    for (std::size_t i = 0; i < 3; ++i) {
      at[i] = (i * bytesPerSpan + kMetaint - 1) / kMetaint * kMetaint;
      route.titles.push_back({at[i], std::string("StreamTitle='") + kTitles[i] + "';"});
    }
    server.Serve("/live", route);
    return SecondsAt(body, at[2]) - SecondsAt(body, at[1]);
  }

  tw::test::TempFolder home;
};

std::string Linked(AudioFormat format) {
  std::vector<std::string> links;
  for (const char* title : kTitles) {
    const std::string text(title);
    tw::test::ToneSpec tone;
    tone.seconds = kSpan;
    tone.comments = {{"ARTIST", text.substr(0, text.find(" - "))},
                     {"TITLE", text.substr(text.find(" - ") + 3)}};
    links.push_back(tw::test::EncodeTone(format, tone));
  }
  return tw::test::ChainOgg(links);
}

// Catches a song saved with the wrong bytes (a neighbour's audio, a cut
// container, missing Ogg or MP4 headers), in the wrong container, with broken
// timestamps or without its tags, for every kind of station: the previous song
// is saved while the next plays, and must last as long as the station sent it.
TEST_F(KeptSongTest, SavesThePreviousSongOfEachFormat) {
  struct Case {
    const char* name;
    const char* format;  // ffprobe's container name
    const char* codec;
  } cases[] = {
      {"MP3", "mp3", "mp3"},
      {"AAC", "mov,mp4,m4a,3gp,3g2,mj2", "aac"},
      {"chained Ogg Vorbis", "ogg", "vorbis"},
      {"chained Ogg Opus", "ogg", "opus"},
      {"FLAC", "flac", "flac"},
      {"HLS MPEG-TS", "mov,mp4,m4a,3gp,3g2,mj2", "aac"},
      {"HLS fMP4", "mov,mp4,m4a,3gp,3g2,mj2", "aac"},
  };
  const fs::path folder = home / "Music/Tunewell";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    double span = kSpan;
    std::string path = "/live";
    tw::test::ToneSpec tone;
    tone.seconds = 3 * kSpan + 1;
    if (name == "MP3") {
      span = ServeIcy("audio/mpeg", tw::test::EncodeTone(AudioFormat::kMp3, tone),
                      static_cast<std::size_t>(kSpan * 128000 / 8));
    } else if (name == "AAC") {
      span = ServeIcy("audio/aac", tw::test::EncodeTone(AudioFormat::kAacAdts, tone),
                      static_cast<std::size_t>(kSpan * 128000 / 8));
    } else if (name == "FLAC") {
      const std::string body = tw::test::EncodeTone(AudioFormat::kFlac, tone);
      const double bytesPerSecond = static_cast<double>(body.size()) / tone.seconds;
      span = ServeIcy("audio/flac", body, static_cast<std::size_t>(bytesPerSecond * kSpan));
    } else if (name.starts_with("chained")) {
      ServeAudio(
          "/live", "audio/ogg",
          Linked(name.ends_with("Vorbis") ? AudioFormat::kOggVorbis : AudioFormat::kOggOpus));
    } else if (name == "HLS MPEG-TS") {
      const auto segments = tw::test::EncodeToneSegments(AudioFormat::kMpegTsAac, tone, 1);
      std::string list = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n";
      span = 0;
      for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::size_t title = std::min<std::size_t>(i / 3, 2);
        if (title == 1) span += segments[i].seconds;
        server.ServeText("/hls/" + std::to_string(i) + ".ts", "video/mp2t", segments[i].bytes);
        list += "#EXTINF:" + std::to_string(segments[i].seconds) + "," + kTitles[title] + "\n" +
                std::to_string(i) + ".ts\n";
      }
      server.ServeText("/hls/media.m3u8", "application/vnd.apple.mpegurl",
                       list + "#EXT-X-ENDLIST\n");
      path = "/hls/media.m3u8";
    } else {
      const tw::test::Fmp4Rendition hls = tw::test::MakeFmp4Hls(kToneHz, 44100, 10, "f");
      ASSERT_GE(hls.files.size(), 10u) << "ffmpeg made no fMP4 HLS";
      for (const auto& [file, bytes] : hls.files) {
        server.ServeText("/hls/" + file, file.ends_with(".mp4") ? "video/mp4" : "video/iso.segment",
                         bytes);
      }
      std::string list;
      int segment = 0;
      for (const std::string& line : hls.lines) {
        if (line.starts_with("#EXTINF")) {
          list += line.substr(0, line.find(',') + 1) + kTitles[std::min(segment++ / 3, 2)] + "\n";
        } else {
          list += line + "\n";
        }
      }
      server.ServeText("/hls/media.m3u8", "application/vnd.apple.mpegurl", list);
      path = "/hls/media.m3u8";
    }

    const HSTREAM stream = Open(path);
    ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
    const HKEPT kept = WaitForTitles(stream, 3);
    ASSERT_EQ(BASS_KeptCount(kept), 3u);
    BASS_KEPTINFO first{}, second{};
    ASSERT_TRUE(BASS_KeptGetInfo(kept, 0, &first));
    ASSERT_TRUE(BASS_KeptGetInfo(kept, 1, &second));
    // The song playing when the station was tuned in began before it.
    EXPECT_EQ(first.flags & BASS_KEPT_CUT, static_cast<DWORD>(BASS_KEPT_CUT));
    EXPECT_EQ(std::string(second.title), kTitles[1]);
    EXPECT_EQ(second.flags, 0u);
    char result[4096];
    ASSERT_TRUE(BASS_KeptSave(kept, 1, folder.c_str(), "Test FM", result, sizeof result))
        << BASS_ErrorGetCode() << " " << result;
    EXPECT_TRUE(BASS_KeptFree(kept));
    EXPECT_TRUE(BASS_StreamFree(stream));

    const fs::path saved = result;
    EXPECT_EQ(saved.parent_path(), folder);
    EXPECT_EQ(saved.stem(), kTitles[1]);
    const Probe probe = ProbeFile(saved);
    EXPECT_EQ(probe.format, c.format);
    EXPECT_EQ(probe.codec, c.codec);
    EXPECT_NEAR(probe.duration, span, 0.5);
    EXPECT_EQ(probe.title, "Two");
    EXPECT_EQ(probe.artist, "Band");
    EXPECT_EQ(probe.album, "Test FM");
    fs::remove(saved);
  }
}

// Catches a keep that grows past its bound, drops the newest bytes instead of
// the oldest, or lists an evicted song as whole (it must say its start is cut
// and save what is left), and marks that pile up when the title changes every
// few hundred milliseconds. The snapshot outlives its stream: a song can be
// saved after the station stopped.
TEST_F(KeptSongTest, BoundEvictsTheOldestBytes) {
  constexpr std::size_t kBound = 64 * 1024;
  SetKeepBounds({600000, kBound, 8});
  tw::test::ToneSpec tone;
  tone.seconds = 12;
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = tw::test::EncodeTone(AudioFormat::kMp3, tone);
  route.metaint = 2000;
  // One at once, Two after a second, Three after seven: Two's start is then
  // more than the bound behind; then a new title every 2000 bytes (1/8 s).
  route.titles = {
      {0, "StreamTitle='One';"}, {16000, "StreamTitle='Two';"}, {112000, "StreamTitle='Three';"}};
  for (std::size_t at = 120000; at < 150000; at += 2000) {
    route.titles.push_back({at, "StreamTitle='Flood " + std::to_string(at) + "';"});
  }
  server.Serve("/live", route);
  const HSTREAM stream = Open("/live");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  // Until the flood has gone by. It arrives as the player's buffer drains, at
  // the pace of playback: several seconds, more on a loaded machine.
  HKEPT kept = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        if (kept) BASS_KeptFree(kept);
        kept = BASS_KeptTake(stream);
        BASS_KEPTINFO last{};
        return BASS_KeptGetInfo(kept, BASS_KeptCount(kept) - 1, &last) &&
               std::string(last.title) == "Flood 148000" && last.end >= 150000;
      },
      std::chrono::seconds(30)));
  const DWORD count = BASS_KeptCount(kept);
  EXPECT_LE(count, 8u);
  BASS_KEPTINFO oldest{}, newest{};
  ASSERT_TRUE(BASS_KeptGetInfo(kept, 0, &oldest));
  ASSERT_TRUE(BASS_KeptGetInfo(kept, count - 1, &newest));
  EXPECT_LE(newest.end - oldest.start, kBound);
  BASS_KeptFree(kept);

  // Then one song of each container that needs its headers in front, whose
  // start is evicted: One for a second, Two for six, Three after; the bound
  // holds four seconds of each stream.
  struct Case {
    const char* name;
    const char* codec;
    // What may be lost at the cut: the rest of the frame, or of the Ogg page
    // (FFmpeg's pages hold a second; a page is read whole or not at all).
    double lost;
  } cases[] = {{"MP3", "mp3", 0.1},
               {"Ogg Opus", "opus", 1.0},
               {"FLAC", "flac", 0.2},
               {"HLS fMP4", "aac", 0.1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    double bytesPerSecond = 16000;
    std::string path = "/two";
    tw::test::ToneSpec twelve;
    twelve.seconds = 12;
    if (name == "MP3" || name == "FLAC") {
      RadioServer::Route two = route;
      two.headers = {name == "MP3" ? "Content-Type: audio/mpeg" : "Content-Type: audio/flac"};
      two.body =
          tw::test::EncodeTone(name == "MP3" ? AudioFormat::kMp3 : AudioFormat::kFlac, twelve);
      bytesPerSecond = static_cast<double>(two.body.size()) / 12;
      const auto at = [&](double seconds) {
        return static_cast<std::size_t>(seconds * bytesPerSecond) / 2000 * 2000;
      };
      two.titles = {{0, "StreamTitle='One';"},
                    {at(1), "StreamTitle='Two';"},
                    {at(7), "StreamTitle='Three';"}};
      server.Serve(path, two);
    } else if (name == "Ogg Opus") {
      std::vector<std::string> links;
      for (const auto& [title, seconds] : {std::pair{"One", 1.0}, {"Two", 6.0}, {"Three", 5.0}}) {
        tw::test::ToneSpec link;
        link.seconds = seconds;
        link.comments = {{"TITLE", title}};
        links.push_back(tw::test::EncodeTone(AudioFormat::kOggOpus, link));
      }
      bytesPerSecond = static_cast<double>(links[1].size()) / 6;
      ServeAudio(path, "audio/ogg", tw::test::ChainOgg(links));
    } else {
      const tw::test::Fmp4Rendition hls = tw::test::MakeFmp4Hls(kToneHz, 44100, 12, "c");
      ASSERT_GE(hls.files.size(), 12u) << "ffmpeg made no fMP4 HLS";
      std::size_t bytes = 0;
      for (const auto& [file, data] : hls.files) {
        server.ServeText("/hls/" + file, "video/iso.segment", data);
        bytes += data.size();
      }
      bytesPerSecond = static_cast<double>(bytes) / 12;
      std::string list;
      int segment = 0;
      for (const std::string& line : hls.lines) {
        if (!line.starts_with("#EXTINF")) {
          list += line + "\n";
          continue;
        }
        const int at = segment++;
        list += line.substr(0, line.find(',') + 1) +
                (at < 1   ? "One"
                 : at < 7 ? "Two"
                          : "Three") +
                "\n";
      }
      server.ServeText("/hls/media.m3u8", "application/vnd.apple.mpegurl", list);
      path = "/hls/media.m3u8";
    }
    SetKeepBounds({600000, static_cast<std::size_t>(4 * bytesPerSecond), 1000});
    const HSTREAM second = Open(path);
    ASSERT_NE(second, 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(second, 0));
    // Until a second of Three has come: Two is then cut but still there.
    kept = 0;
    EXPECT_TRUE(WaitFor([&] {
      if (kept) BASS_KeptFree(kept);
      kept = BASS_KeptTake(second);
      BASS_KEPTINFO info{};
      return BASS_KeptGetInfo(kept, 1, &info) && std::string(info.title) == "Three" &&
             static_cast<double>(info.end - info.start) > bytesPerSecond;
    }));
    BASS_KEPTINFO two{};
    ASSERT_TRUE(BASS_KeptGetInfo(kept, 0, &two));
    EXPECT_EQ(std::string(two.title), "Two");
    EXPECT_EQ(two.flags, static_cast<DWORD>(BASS_KEPT_CUT));
    // From the oldest byte kept, not its own start.
    EXPECT_GT(two.start, static_cast<QWORD>(1.5 * bytesPerSecond));
    // The snapshot outlives its stream.
    EXPECT_TRUE(BASS_StreamFree(second));
    EXPECT_EQ(BASS_KeptTake(second), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);

    char result[4096];
    const fs::path folder = home / "Music/Tunewell";
    ASSERT_TRUE(BASS_KeptSave(kept, 0, folder.c_str(), nullptr, result, sizeof result)) << result;
    BASS_KeptFree(kept);
    const Probe probe = ProbeFile(result);
    EXPECT_EQ(probe.codec, c.codec);
    const double keptSeconds = static_cast<double>(two.end - two.start) / bytesPerSecond;
    EXPECT_LE(probe.duration, keptSeconds + 0.5);
    EXPECT_GE(probe.duration, keptSeconds - c.lost - 0.5);
    EXPECT_EQ(probe.title, "Two");
    fs::remove(result);
  }
}

// Catches a failed save that reports success, leaves a half file under the
// song's name (or a temporary one behind, also from a save killed half-way),
// or an error no user could act on; and a song across a change of the
// stream's format saved as one corrupt file.
TEST_F(KeptSongTest, FailedSaveLeavesNoFile) {
  // The station changes from 44100 to 48000 Hz within "Two".
  tw::test::ToneSpec tone;
  tone.seconds = 4;
  std::string body = tw::test::EncodeTone(AudioFormat::kMp3, tone);
  const std::size_t change = body.size();
  tone.sampleRate = 48000;
  body += tw::test::EncodeTone(AudioFormat::kMp3, tone);
  RadioServer::Route route;
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = body;
  route.metaint = 2000;
  route.titles = {{0, "StreamTitle='One';"},
                  {16000, "StreamTitle='Two';"},
                  {change / 2000 * 2000 - 16000, "StreamTitle='Three';"},
                  {change / 2000 * 2000 + 16000, "StreamTitle='Four';"}};
  server.Serve("/live", route);
  const HSTREAM stream = Open("/live");
  ASSERT_NE(stream, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_ChannelPlay(stream, 0));
  const HKEPT kept = WaitForTitles(stream, 4);
  ASSERT_EQ(BASS_KeptCount(kept), 4u);
  BASS_StreamFree(stream);

  const fs::path music = home / "Music";
  fs::create_directories(music / "Tunewell");
  enum class Fault { kReadOnly, kDiskFull, kFormatChange };
  struct Case {
    const char* name;
    Fault fault;
    DWORD title;
    int error;
    const char* says;
  } cases[] = {
      {"read-only folder", Fault::kReadOnly, 1, BASS_ERROR_FILEOPEN, "Permission denied"},
      {"full disk", Fault::kDiskFull, 1, BASS_ERROR_FILEOPEN, "large"},
      {"format change", Fault::kFormatChange, 2, BASS_ERROR_FILEFORM, "format"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = music / "Tunewell";
    char result[4096] = "unchanged";
    BOOL saved;
    int error;
    {
      std::optional<tw::test::ReadOnlyFolder> readOnly;
      std::optional<tw::test::FileSizeLimit> full;
      if (c.fault == Fault::kReadOnly) {
        readOnly.emplace(folder);
        if (!readOnly->effective()) GTEST_SKIP() << "permission bits are not enforced here";
      }
      if (c.fault == Fault::kDiskFull) full.emplace(2000);
      saved = BASS_KeptSave(kept, c.title, folder.c_str(), "Test FM", result, sizeof result);
      error = BASS_ErrorGetCode();
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(error, c.error);
    EXPECT_NE(std::string(result).find(c.says), std::string::npos) << result;
    EXPECT_TRUE(tw::test::FolderEntries(folder).empty());
  }
  // The song saves once the fault is gone; and the temporary file of a save
  // killed an hour ago goes then, not a younger one nor a file of the user's.
  const fs::path folder = music / "Tunewell";
  for (const char* name : {".Killed.mp3.0a1b2c", ".Saving.mp3.3d4e5f", ".notes.mp3"}) {
    std::ofstream(folder / name) << "half";
  }
  fs::last_write_time(folder / ".Killed.mp3.0a1b2c",
                      fs::file_time_type::clock::now() - std::chrono::hours(2));
  fs::last_write_time(folder / ".notes.mp3",
                      fs::file_time_type::clock::now() - std::chrono::hours(2));
  char result[4096];
  EXPECT_TRUE(BASS_KeptSave(kept, 1, folder.c_str(), "", result, sizeof result)) << result;
  EXPECT_EQ(tw::test::FolderEntries(folder),
            (std::vector<std::string>{".Saving.mp3.3d4e5f", ".notes.mp3", "Two.mp3"}));
  BASS_KeptFree(kept);
}

}  // namespace
}  // namespace tw::engine::test
