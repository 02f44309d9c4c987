// Start-up latency: from BASS_StreamCreateURL to the first decoded frame the
// output takes from the stream, for a station that bursts its first seconds and
// for one paced in real time (128 kbps MP3 over ICY). The reference is the ffmpeg
// tool reading the same URL from the same server in the same run. Both are timed
// from the moment the server began sending the body, so connecting and process
// start-up count for neither.
// Targets: within 100 ms of the first byte for the burst, within two MP3 frames'
// time (2 x 1152 / 44100 s) for the paced stream.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "engine/engine.h"
#include "engine/internal.h"
#include "tests/support/no_sound_device.h"
#include "tests/support/radio_server.h"
#include "tests/support/test_audio.h"

namespace {

using tw::bench::Clock;
using tw::bench::Median;
using tw::bench::Ms;
using tw::bench::PrintSpread;

constexpr int kRate = 44100;
constexpr int kTrials = 5;
constexpr double kBytesPerSecond = 16000;   // 128 kbps
constexpr std::size_t kBurstBytes = 48000;  // three seconds
constexpr auto kGiveUp = std::chrono::seconds(5);
// After the first sample, how long to watch for the stream running dry.
constexpr auto kWatch = std::chrono::milliseconds(4000);

Clock::time_point FromNanos(int64_t nanos) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanos)));
}

struct Listener {
  std::atomic<int64_t> firstData{0};  // set on the stream's network thread
  std::atomic<int> stalls{0};         // set on its callback thread
};

void OnStatus(const void* /*buffer*/, DWORD length, void* user) {
  auto* listener = static_cast<Listener*>(user);
  if (length > 0 && listener->firstData.load() == 0) {
    listener->firstData = Clock::now().time_since_epoch().count();
  }
}

void OnStall(HSYNC, DWORD, DWORD data, void* user) {
  if (data == 0) ++static_cast<Listener*>(user)->stalls;
}

struct Figures {
  std::vector<double> fromServerByte;       // server's first body byte -> first sample
  std::vector<double> readyFromServerByte;  // server's first body byte -> create returned
  std::vector<double> fromClientByte;       // first byte the status callback saw -> first sample
  std::vector<double> fromCreate;           // BASS_StreamCreateURL called -> first sample
  std::vector<double> createReturned;       // BASS_StreamCreateURL called -> returned
  int stalls = 0;
  int failures = 0;
};

// One start of the engine's stream; false when it did not play.
bool EngineTrial(const tw::test::RadioServer& server, const std::string& path, Figures& out) {
  const std::string url = server.Url(path);
  Listener listener;
  const Clock::time_point start = Clock::now();
  const HSTREAM stream =
      BASS_StreamCreateURL(url.c_str(), 0, BASS_STREAM_STATUS, OnStatus, &listener);
  const Clock::time_point created = Clock::now();
  if (!stream) {
    std::printf("  create failed: error %d\n", BASS_ErrorGetCode());
    return false;
  }
  BASS_ChannelSetSync(stream, BASS_SYNC_STALL, 0, OnStall, &listener);
  BASS_ChannelPlay(stream, 0);
  int64_t first = 0;
  while ((first = tw::engine::FirstFrameMixedNanos(stream)) == 0 &&
         Clock::now() - start < kGiveUp) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::this_thread::sleep_for(kWatch);
  BASS_StreamFree(stream);
  const Clock::time_point serverByte = server.FirstBodyByteSent(path);
  if (first == 0 || serverByte == Clock::time_point()) return false;
  const Clock::time_point sample = FromNanos(first);
  out.fromServerByte.push_back(Ms(sample - serverByte));
  out.readyFromServerByte.push_back(Ms(created - serverByte));
  out.fromClientByte.push_back(Ms(sample - FromNanos(listener.firstData.load())));
  out.fromCreate.push_back(Ms(sample - start));
  out.createReturned.push_back(Ms(created - start));
  out.stalls += listener.stalls.load();
  return true;
}

// One run of the ffmpeg tool: the time from the server's first body byte to the
// first decoded PCM byte on ffmpeg's output pipe (flushed after every packet, so
// the byte leaves ffmpeg as soon as its first frame is decoded and converted).
bool FfmpegTrial(const tw::test::RadioServer& server, const std::string& path,
                 const std::vector<std::string>& inputOptions, std::vector<double>& out) {
  std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error"};
  args.insert(args.end(), inputOptions.begin(), inputOptions.end());
  args.insert(args.end(), {"-i", server.Url(path), "-map", "0:a", "-f", "s16le", "-ac", "2", "-ar",
                           "44100", "-flush_packets", "1", "pipe:1"});
  tw::bench::Child ffmpeg(args, true);
  pollfd fd{ffmpeg.out(), POLLIN, 0};
  const int ready = ::poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kGiveUp).count()));
  const Clock::time_point sample = Clock::now();
  char byte;
  const bool got = ready == 1 && ::read(ffmpeg.out(), &byte, 1) == 1;
  ffmpeg.Kill();
  const Clock::time_point serverByte = server.FirstBodyByteSent(path);
  if (!got || serverByte == Clock::time_point()) return false;
  out.push_back(Ms(sample - serverByte));
  return true;
}

}  // namespace

int main() {
  setenv("SDL_AUDIODRIVER", "dummy", 1);

  tw::test::ToneSpec tone;
  tone.seconds = 10;
  tone.sampleRate = kRate;
  tone.bitrate = 128000;
  const std::string mp3 = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, tone);

  tw::test::RadioServer server;
  tw::test::RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Bench FM", "icy-br:128"};
  route.body = mp3;
  route.metaint = 16000;
  route.titles = {{0, "StreamTitle='Bench - Tone';"}};
  route.bytesPerSecond = kBytesPerSecond;
  route.loopBody = true;
  server.Serve("/paced", route);
  route.burstBytes = kBurstBytes;
  server.Serve("/burst", route);

  if (!BASS_Init(tw::test::NoSoundDevice(), kRate, 0, nullptr, nullptr)) {
    std::printf("BASS_Init failed: %d\n", BASS_ErrorGetCode());
    return 1;
  }
  // The process's first stream also pays for loading curl and FFmpeg; a player
  // pays that once, so it is left out of the figures.
  {
    Figures warmUp;
    EngineTrial(server, "/burst", warmUp);
  }

  const double frameMs = 1152.0 * 1000.0 / kRate;
  struct Case {
    const char* name;
    const char* path;
    double targetMs;
  };
  const Case cases[] = {{"burst (3 s at once, then paced)", "/burst", 100.0},
                        {"paced in real time (no burst)", "/paced", 2 * frameMs}};

  std::printf(
      "Start-up latency, 128 kbps 44.1 kHz MP3 over ICY (icy-name, metaint 16000) from the\n"
      "loopback server; median of %d runs (min .. max), the engine on \"No sound\".\n"
      "Reference: the ffmpeg tool reading the same URL, decoding to 16-bit PCM on a pipe\n"
      "flushed per packet (-f s16le -flush_packets 1): its first PCM byte on the pipe is its\n"
      "first sample handed to an output. Ours: the first decoded frame the mixer hands to the\n"
      "output. Both from the server's first body byte; one MP3 frame is %.1f ms.\n\n",
      kTrials, frameMs);

  int exitCode = 0;
  for (const Case& c : cases) {
    Figures ours;
    std::vector<double> ffmpeg;
    std::vector<double> ffmpegTold;
    for (int i = 0; i < kTrials; ++i) {
      if (!EngineTrial(server, c.path, ours)) ++ours.failures;
      FfmpegTrial(server, c.path, {}, ffmpeg);
      FfmpegTrial(server, c.path, {"-f", "mp3", "-probesize", "32", "-analyzeduration", "0"},
                  ffmpegTold);
    }
    std::printf("%s:\n", c.name);
    PrintSpread("ours: first body byte -> first sample", ours.fromServerByte);
    PrintSpread("ours: first body byte -> decoded, create returned", ours.readyFromServerByte);
    PrintSpread("ours: first byte seen by the status callback", ours.fromClientByte);
    PrintSpread("ours: BASS_StreamCreateURL -> returned", ours.createReturned);
    PrintSpread("ours: BASS_StreamCreateURL -> first sample", ours.fromCreate);
    PrintSpread("ffmpeg: first body byte -> first sample", ffmpeg);
    PrintSpread("ffmpeg -f mp3 -probesize 32 -analyzeduration 0", ffmpegTold);
    const double our = Median(ours.fromServerByte);
    const double reference = Median(ffmpeg);
    const double told = Median(ffmpegTold);
    const bool met = !ours.fromServerByte.empty() && our <= c.targetMs;
    std::printf(
        "  => ours %.1f ms vs ffmpeg %.1f ms: ratio %.2f (%.2f against ffmpeg told the format);"
        " target %.1f ms: %s\n",
        our, reference, reference > 0 ? our / reference : 0.0, told > 0 ? our / told : 0.0,
        c.targetMs, met ? "met" : "MISSED");
    std::printf("  stalls within %.1f s of the first sample: %d in %d runs%s\n\n",
                std::chrono::duration<double>(kWatch).count(), ours.stalls, kTrials,
                ours.failures ? " (some runs failed)" : "");
    if (ours.failures) exitCode = 1;
  }
  BASS_Free();
  return exitCode;
}
