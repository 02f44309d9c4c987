// CPU time of playback: a 128 kbps MP3 station and an Ogg Opus one, each played
// in real time on "No sound" for a while, as a share of one core (all of the
// process's threads: network, decoder, callbacks and the output's mixing). The
// server runs in a child process so that its sending is not counted. Reference:
// the ffmpeg tool decoding the same bytes from the same server as fast as it can
// (-f null), its CPU time per second of audio with its start-up taken out.
// Target: under 0.5 % of one core for the MP3 station.
#include <dirent.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "engine/engine.h"
#include "tests/support/no_sound_device.h"
#include "tests/support/seconds_since.h"
#include "tests/support/test_audio.h"

namespace {

using tw::bench::Clock;
using tw::bench::CpuSeconds;
using tw::test::AudioFormat;
using tw::test::SecondsSince;
using Route = tw::test::RadioServer::Route;

constexpr int kRate = 44100;
constexpr auto kWarmUp = std::chrono::seconds(2);
constexpr auto kWindow = std::chrono::seconds(20);
constexpr auto kIdleWindow = std::chrono::seconds(4);
constexpr double kLongSeconds = 30;  // the played body; loops if the window is longer
constexpr double kShortSeconds = 2;  // for ffmpeg's start-up cost
constexpr int kReferenceRuns = 3;

// Per-thread CPU clocks, by thread id: Linux lets a process read the clock of
// any of its threads from the id alone (what pthread_getcpuclockid builds).
std::map<int, double> ThreadCpuSeconds() {
  std::map<int, double> threads;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return threads;
  while (dirent* entry = readdir(dir)) {
    const int tid = std::atoi(entry->d_name);
    if (tid <= 0) continue;
    const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
    timespec t{};
    if (clock_gettime(clock, &t) == 0) {
      threads[tid] = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    }
  }
  closedir(dir);
  return threads;
}

struct Station {
  const char* name;
  AudioFormat format;
  std::string path;  // played in real time
  double bytesPerSecond;
  std::string longBody;
  std::string shortBody;
};

Route Paced(const std::string& contentType, const std::string& body, double bytesPerSecond,
            bool icy) {
  Route route;
  route.statusLine = icy ? "ICY 200 OK" : "HTTP/1.0 200 OK";
  route.headers = {"Content-Type: " + contentType, "icy-name:Bench FM"};
  if (icy) route.metaint = 16000;
  route.titles = {{0, "StreamTitle='Bench - Tone';"}};
  route.body = body;
  route.bytesPerSecond = bytesPerSecond;
  route.burstBytes = 64 * 1024;  // what Icecast sends a new listener at once by default
  route.loopBody = true;
  return route;
}

Route Whole(const std::string& contentType, const std::string& body) {
  Route route;
  route.headers = {"Content-Type: " + contentType};
  route.body = body;
  return route;
}

// ffmpeg's CPU seconds to decode the route's audio, best of a few runs.
double FfmpegCpuSeconds(const tw::bench::ForkedServer& server, const std::string& path) {
  double best = 1e9;
  for (int i = 0; i < kReferenceRuns; ++i) {
    tw::bench::Child ffmpeg(
        {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-i", server.Url(path), "-map",
         "0:a", "-ac", "2", "-ar", std::to_string(kRate), "-f", "null", "-"},
        false);
    const int status = ffmpeg.Wait();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::printf("  ffmpeg failed on %s\n", path.c_str());
      return 0;
    }
    best = std::min(best, ffmpeg.CpuSeconds());
  }
  return best;
}

}  // namespace

int main() {
  setenv("SDL_AUDIODRIVER", "dummy", 1);

  std::vector<Station> stations = {
      {"128 kbps MP3 (ICY)", AudioFormat::kMp3, "/mp3", 16000, {}, {}},
      {"128 kbps Ogg Opus", AudioFormat::kOggOpus, "/opus", 0, {}, {}},
  };
  std::vector<std::pair<std::string, Route>> routes;
  for (Station& s : stations) {
    tw::test::ToneSpec tone;
    tone.sampleRate = kRate;
    tone.bitrate = 128000;
    tone.seconds = kLongSeconds;
    s.longBody = tw::test::EncodeTone(s.format, tone);
    tone.seconds = kShortSeconds;
    s.shortBody = tw::test::EncodeTone(s.format, tone);
    // Opus pads and pages its stream; pace it by its real byte rate.
    if (s.bytesPerSecond == 0)
      s.bytesPerSecond = static_cast<double>(s.longBody.size()) / kLongSeconds;
    const bool mp3 = s.format == AudioFormat::kMp3;
    const std::string type = mp3 ? "audio/mpeg" : "audio/ogg";
    routes.emplace_back(s.path, Paced(type, s.longBody, s.bytesPerSecond, mp3));
    routes.emplace_back(s.path + "-long", Whole(type, s.longBody));
    routes.emplace_back(s.path + "-short", Whole(type, s.shortBody));
  }
  // Before any thread starts: the server process is forked from this one.
  tw::bench::ForkedServer server(std::move(routes));

  if (!BASS_Init(tw::test::NoSoundDevice(), kRate, 0, nullptr, nullptr)) {
    std::printf("BASS_Init failed: %d\n", BASS_ErrorGetCode());
    return 1;
  }

  std::printf(
      "CPU time of playback on \"No sound\" at %d Hz, %.0f s of real-time playback per\n"
      "stream after %.0f s of warm-up; the server in its own process. Ours: the whole\n"
      "process (its CPU clock). Reference: the ffmpeg tool decoding the same bytes\n"
      "from the same server as fast as it can (-ac 2 -ar %d -f null -), CPU seconds of a\n"
      "%.0f s body minus those of a %.0f s one (its start-up), per second of audio; best of "
      "%d.\n\n",
      kRate, std::chrono::duration<double>(kWindow).count(),
      std::chrono::duration<double>(kWarmUp).count(), kRate, kLongSeconds, kShortSeconds,
      kReferenceRuns);

  // The output mixes silence while nothing plays: the engine's own floor.
  {
    const double cpu = CpuSeconds();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(kIdleWindow);
    const double wall = SecondsSince(start);
    std::printf("engine idle (output running, no stream): %.3f %% of one core\n\n",
                (CpuSeconds() - cpu) / wall * 100);
  }

  int exitCode = 0;
  for (const Station& s : stations) {
    const std::map<int, double> before = ThreadCpuSeconds();
    const std::string url = server.Url(s.path);
    const HSTREAM stream = BASS_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr);
    if (!stream || !BASS_ChannelPlay(stream, 0)) {
      std::printf("%s: could not play (error %d)\n", s.name, BASS_ErrorGetCode());
      exitCode = 1;
      continue;
    }
    std::this_thread::sleep_for(kWarmUp);
    const std::map<int, double> threadsAtStart = ThreadCpuSeconds();
    const double cpu = CpuSeconds();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(kWindow);
    const double used = CpuSeconds() - cpu;
    const double wall = SecondsSince(start);
    const std::map<int, double> threadsAtEnd = ThreadCpuSeconds();
    const bool playing = BASS_ChannelIsActive(stream) == BASS_ACTIVE_PLAYING;
    BASS_StreamFree(stream);

    const double oursPercent = used / wall * 100;
    const double longCpu = FfmpegCpuSeconds(server, s.path + "-long");
    const double shortCpu = FfmpegCpuSeconds(server, s.path + "-short");
    const double perAudioSecond = (longCpu - shortCpu) / (kLongSeconds - kShortSeconds);
    const double refPercent = perAudioSecond * 100;

    std::printf("%s, %.0f bytes/s:\n", s.name, s.bytesPerSecond);
    std::printf("  ours:   %.3f %% of one core = %.0f ms CPU per minute of playback%s\n",
                oursPercent, oursPercent / 100 * 60000, playing ? "" : " (NOT playing at the end)");
    // The stream's own threads in the order they start: callbacks, network, decoder.
    std::printf("          by thread:");
    int index = 0;
    int outputSeen = 0;
    for (const auto& [tid, seconds] : threadsAtEnd) {
      const auto was = threadsAtStart.find(tid);
      if (was == threadsAtStart.end()) continue;
      const double share = (seconds - was->second) / wall * 100;
      std::string label;
      if (tid == getpid()) {
        label = "main";
      } else if (before.count(tid)) {
        label = outputSeen++ == 0 ? "output" : "other";  // the engine starts one at BASS_Init
      } else {
        static const char* const kStreamThreads[] = {"callbacks", "network", "decoder"};
        label = index < 3 ? kStreamThreads[index] : "stream";
        ++index;
      }
      std::printf(" %s %.3f %%", label.c_str(), share);
    }
    std::printf("\n");
    std::printf(
        "  ffmpeg: %.3f %% of one core = %.0f ms CPU per minute of audio "
        "(%.3f s for %.0f s, %.3f s for %.0f s)\n",
        refPercent, perAudioSecond * 60000, longCpu, kLongSeconds, shortCpu, kShortSeconds);
    std::printf("  => ratio %.2f", refPercent > 0 ? oursPercent / refPercent : 0.0);
    if (s.format == AudioFormat::kMp3) {
      std::printf("; target under 0.5 %%: %s", oursPercent < 0.5 ? "met" : "MISSED");
    }
    std::printf("\n\n");
    if (!playing) exitCode = 1;
  }
  BASS_Free();
  return exitCode;
}
