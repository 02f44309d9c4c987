// Resident memory per playing stream: the process's VmRSS before and after
// opening and playing several 128 kbps MP3 streams at once, divided by their
// number. The first stream of a process also loads and initialises curl and
// FFmpeg; that is paid once, so a stream is opened and freed before the
// baseline is taken (and its cost shown apart). The server runs in a child
// process. Reference: one ffmpeg tool process decoding the same station in
// real time (-f null), read from /proc/<pid>/status: its whole VmRSS, and its
// RssAnon (private memory, without the pages of its shared libraries).
// Target: under 8 MB per stream.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "engine/engine.h"
#include "tests/support/no_sound_device.h"
#include "tests/support/test_audio.h"

namespace {

using tw::bench::StatusKb;

constexpr int kRate = 44100;
constexpr int kStreams = 6;
constexpr auto kSettle = std::chrono::seconds(4);  // the burst taken in, buffers full
constexpr auto kThreadsGone = std::chrono::milliseconds(500);

struct Rss {
  long total = 0;
  long anon = 0;
};

Rss Read(const std::string& pid) { return {StatusKb(pid, "VmRSS"), StatusKb(pid, "RssAnon")}; }

double Mb(long kb) { return static_cast<double>(kb) / 1024.0; }

}  // namespace

int main() {
  setenv("SDL_AUDIODRIVER", "dummy", 1);

  tw::test::ToneSpec tone;
  tone.sampleRate = kRate;
  tone.bitrate = 128000;
  tone.seconds = 20;
  tw::test::RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Bench FM", "icy-br:128"};
  route.body = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, tone);
  route.metaint = 16000;
  route.titles = {{0, "StreamTitle='Bench - Tone';"}};
  route.bytesPerSecond = 16000;
  route.burstBytes = 64 * 1024;  // what Icecast sends a new listener at once by default
  route.loopBody = true;
  // Before any thread starts: the server process is forked from this one.
  tw::bench::ForkedServer server({{"/mp3", route}});
  const std::string url = server.Url("/mp3");

  const Rss start = Read("self");
  if (!BASS_Init(tw::test::NoSoundDevice(), kRate, 0, nullptr, nullptr)) {
    std::printf("BASS_Init failed: %d\n", BASS_ErrorGetCode());
    return 1;
  }
  const Rss initialised = Read("self");

  auto open = [&] {
    const HSTREAM stream = BASS_StreamCreateURL(url.c_str(), 0, 0, nullptr, nullptr);
    if (stream) BASS_ChannelPlay(stream, 0);
    return stream;
  };

  // The process's first stream, then gone again.
  const HSTREAM first = open();
  if (!first) {
    std::printf("cannot open %s: error %d\n", url.c_str(), BASS_ErrorGetCode());
    return 1;
  }
  std::this_thread::sleep_for(kSettle);
  const Rss firstPlaying = Read("self");
  BASS_StreamFree(first);
  std::this_thread::sleep_for(kThreadsGone);

  const Rss before = Read("self");
  std::vector<HSTREAM> streams;
  for (int i = 0; i < kStreams; ++i) {
    if (const HSTREAM stream = open()) streams.push_back(stream);
  }
  std::this_thread::sleep_for(kSettle);
  int playing = 0;
  for (HSTREAM stream : streams) playing += BASS_ChannelIsActive(stream) == BASS_ACTIVE_PLAYING;
  const Rss after = Read("self");
  for (HSTREAM stream : streams) BASS_StreamFree(stream);
  std::this_thread::sleep_for(kThreadsGone);
  const Rss freed = Read("self");

  // The reference: ffmpeg decoding the same station, in real time as it comes.
  Rss ffmpeg;
  {
    tw::bench::Child child(
        {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-i", url, "-map", "0:a",
         "-ac", "2", "-ar", std::to_string(kRate), "-f", "null", "-"},
        false);
    std::this_thread::sleep_for(kSettle);
    ffmpeg = Read(std::to_string(child.pid()));
    child.Kill();
  }
  BASS_Free();

  if (playing != kStreams || ffmpeg.total <= 0) {
    std::printf("only %d of %d streams played%s\n", playing, kStreams,
                ffmpeg.total <= 0 ? "; ffmpeg did not run" : "");
    return 1;
  }

  const double perStream = Mb(after.total - before.total) / kStreams;
  const double perStreamAnon = Mb(after.anon - before.anon) / kStreams;
  std::printf(
      "Resident memory, 128 kbps MP3 over ICY (64 KiB burst, then real time), on \"No sound\";\n"
      "each figure after %.0f s of playing. VmRSS (RssAnon) from /proc/<pid>/status.\n\n",
      std::chrono::duration<double>(kSettle).count());
  std::printf("  process at start %.1f MB, after BASS_Init %.1f MB (%.1f MB anonymous)\n",
              Mb(start.total), Mb(initialised.total), Mb(initialised.anon));
  std::printf("  first stream of the process (loads curl and FFmpeg): +%.1f MB (+%.1f MB)\n",
              Mb(firstPlaying.total - initialised.total), Mb(firstPlaying.anon - initialised.anon));
  std::printf("  %d streams playing at once: %.1f MB -> %.1f MB (%.1f -> %.1f MB anonymous)\n",
              kStreams, Mb(before.total), Mb(after.total), Mb(before.anon), Mb(after.anon));
  std::printf("  after freeing them: %.1f MB (%.1f MB anonymous)\n", Mb(freed.total),
              Mb(freed.anon));
  std::printf("  ours per stream:           %.2f MB (%.2f MB anonymous)\n", perStream,
              perStreamAnon);
  std::printf("  ffmpeg process, same stream: %.2f MB VmRSS, %.2f MB RssAnon\n", Mb(ffmpeg.total),
              Mb(ffmpeg.anon));
  std::printf("  => ratio %.3f of ffmpeg's VmRSS, %.3f of its RssAnon; target under 8 MB: %s\n",
              perStream / Mb(ffmpeg.total), perStream / Mb(ffmpeg.anon),
              perStream < 8.0 ? "met" : "MISSED");
  return 0;
}
