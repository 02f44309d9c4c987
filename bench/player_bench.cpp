// The whole player as a user runs it, beside mpv on the same stream in the same
// run: the shipped executable copied into a temporary program folder, shown on
// an Xvfb display of its own, auto-playing one station from the loopback test
// server (a 128 kbps MP3 that bursts its first 3 s, then comes in real time).
//
//   playing  CPU seconds and wake-ups (voluntary context switches of all
//            threads) over 20 s, after 3 s to settle; peak memory (VmHWM)
//   idle     the same over 20 s with nothing played yet (PlayLast off; mpv
//            --idle=yes without a file), and once a 2 s file has ended (mpv
//            --idle=yes)
//   floor    the same CPU and peak memory of library_floor: the player's
//            libraries loaded under a window like its own, a box of the
//            oscilloscope's size sent to the screen 30 times a second, nothing
//            else done; what the player pays before its own share
//   first audio  from process start to the first sound written to the output:
//            both on SDL's "disk" audio driver, which writes what plays into a
//            file in real time, watched here every millisecond
//
// Tunewell plays on "No sound" for the CPU and memory figures, mpv with
// --no-config --no-video --no-terminal --ao=null. Without mpv its columns are
// skipped. Build a Release tree: Debug figures say little.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "engine/engine.h"
#include "tests/support/no_sound_device.h"
#include "tests/support/seconds_since.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"

namespace {

namespace fs = std::filesystem;
using tw::bench::Child;
using tw::bench::Clock;
using tw::bench::CpuSeconds;
using tw::bench::Median;
using Route = tw::test::RadioServer::Route;

constexpr auto kSettle = std::chrono::seconds(3);
constexpr auto kWindow = std::chrono::seconds(20);
constexpr double kShortSeconds = 2;  // the stream that ends before the idle window
constexpr int kBytesPerSecond = 16000;

// Voluntary context switches of all threads of pid: each is the thread going
// to sleep, so each is a wake-up to come.
long WakeUps(pid_t pid) {
  long total = 0;
  std::error_code ignored;
  for (const auto& task :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
    total += tw::bench::StatusKb(std::to_string(pid) + "/task/" + task.path().filename().string(),
                                 "voluntary_ctxt_switches");
  }
  return total;
}

struct Window {
  double cpu = 0;
  double wakeUps = 0;
};

Window Measure(pid_t pid) {
  const double cpu = CpuSeconds(pid);
  const long wakeUps = WakeUps(pid);
  std::this_thread::sleep_for(kWindow);
  return {CpuSeconds(pid) - cpu, static_cast<double>(WakeUps(pid) - wakeUps)};
}

void Stop(Child& child) {
  ::kill(child.pid(), SIGTERM);
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end) {
    int status = 0;
    if (::waitpid(child.pid(), &status, WNOHANG) == child.pid()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  child.Kill();
}

bool HaveProgram(const char* name) {
  const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// An Xvfb display of its own; DISPLAY is set for the players started after it.
class Display {
 public:
  Display()
      : xvfb_({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"}, true) {
    std::string number;
    char c;
    while (::read(xvfb_.out(), &c, 1) == 1 && c != '\n') number += c;
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    setenv("DISPLAY", (":" + number).c_str(), 1);
  }
  ~Display() { xvfb_.Kill(); }

 private:
  Child xvfb_;
};

// A temporary program folder holding a copy of the player and its two files.
class Program {
 public:
  Program(const std::string& url, int device, bool autoPlay = true) {
    fs::copy_file(TW_TUNEWELL_EXE, folder_ / "tunewell");
    folder_.Write("favorites.cfg", "[001]\r\nPath=" + url + "\r\nTitle=Bench\r\nAudioNum=1\r\n");
    folder_.Write("radio_config.cfg", "[MAIN]\r\nPlayLast=" + std::string(autoPlay ? "1" : "0") +
                                          "\r\nLAST=0\r\nDevice=" + std::to_string(device) +
                                          "\r\nVOLUME=50\r\n");
    // The instance lock lives here: a player running elsewhere does not count.
    fs::create_directory(folder_ / "runtime");
    ::chmod((folder_ / "runtime").c_str(), 0700);
  }
  std::unique_ptr<Child> Start() const {
    setenv("XDG_RUNTIME_DIR", (folder_ / "runtime").c_str(), 1);
    return std::make_unique<Child>(std::vector<std::string>{(folder_ / "tunewell").string()},
                                   false);
  }
  fs::path path() const { return folder_.path(); }

 private:
  tw::test::TempFolder folder_;
};

std::vector<std::string> MpvArgs(const std::string& url, const char* ao, bool idle) {
  std::vector<std::string> args = {"mpv", "--no-config", "--no-video", "--no-terminal",
                                   std::string("--ao=") + ao};
  if (idle) args.push_back("--idle=yes");
  args.push_back(url);
  return args;
}

// Seconds from start until the SDL disk driver's file holds a byte that is not
// silence (zero); nullopt when none comes within 10 s.
std::optional<double> FirstAudio(const std::function<std::unique_ptr<Child>()>& start,
                                 const fs::path& file) {
  fs::remove(file);
  const Clock::time_point begin = Clock::now();
  std::unique_ptr<Child> child = start();
  std::optional<double> seconds;
  std::size_t offset = 0;
  std::vector<char> buffer(1 << 16);
  while (Clock::now() - begin < std::chrono::seconds(10) && !seconds) {
    std::ifstream in(file, std::ios::binary);
    if (in) {
      in.seekg(static_cast<std::streamoff>(offset));
      while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) ||
             in.gcount() > 0) {
        const auto got = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < got; ++i) {
          if (buffer[i] != 0) {
            seconds = tw::test::SecondsSince(begin);
            break;
          }
        }
        offset += got;
        if (seconds) break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Stop(*child);
  return seconds;
}

struct Figures {
  std::vector<double> playCpu, playWakeUps, idleCpu, idleWakeUps, endedCpu, endedWakeUps,
      firstAudio, peakMb, floorCpu, floorMb;
};

void Print(const char* what, const std::vector<double>& ours, const std::vector<double>& mpv,
           const char* format) {
  std::printf("%-44s ", what);
  std::printf(format, Median(ours));
  if (mpv.empty()) {
    std::printf("%12s\n", "-");
    return;
  }
  std::printf(" ");
  std::printf(format, Median(mpv));
  if (Median(mpv) > 0) {
    std::printf("   %5.2f\n", Median(ours) / Median(mpv));
  } else {
    std::printf("   %5s\n", "-");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  // --no-mpv: Tunewell's column only, for quick comparisons of its own builds.
  const bool skipMpv = argc > 2 && std::string(argv[2]) == "--no-mpv";
  if (!HaveProgram("Xvfb")) {
    std::printf("Xvfb is not installed (Debian package xvfb): nothing measured\n");
    return 0;
  }
  const bool mpv = !skipMpv && HaveProgram("mpv");
  if (!mpv && !skipMpv) std::printf("mpv is not installed: its column is skipped\n");

  tw::test::ToneSpec tone;
  tone.seconds = 30;
  const std::string longBody = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, tone);
  tone.seconds = kShortSeconds;
  const std::string shortBody = tw::test::EncodeTone(tw::test::AudioFormat::kMp3, tone);
  auto station = [](const std::string& body, bool loop) {
    Route route;
    route.statusLine = "ICY 200 OK";
    route.headers = {"Content-Type: audio/mpeg", "icy-name:Bench FM", "icy-br:128"};
    route.body = body;
    route.metaint = 16000;
    route.titles = {{0, "StreamTitle='Bench - Tone';"}};
    route.bytesPerSecond = kBytesPerSecond;
    route.burstBytes = 3 * kBytesPerSecond;
    route.loopBody = loop;
    return route;
  };
  // The short one is a file with its length: its end is the stream's end (a
  // live station that closes is reconnected for up to 30 s).
  Route shortFile = station(shortBody, false);
  shortFile.statusLine = "HTTP/1.0 200 OK";
  shortFile.headers.push_back("Content-Length: " + std::to_string(shortBody.size()));
  shortFile.metaint = 0;
  shortFile.titles.clear();
  tw::bench::ForkedServer server({{"/live", station(longBody, true)}, {"/short", shortFile}});
  const std::string live = server.Url("/live");
  const std::string shortUrl = server.Url("/short");

  // The device numbers the player will see: SDL's dummy driver for the
  // measured runs ("No sound" is last), its disk driver for first audio
  // ("Default" is device 0).
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  const int noSound = tw::test::NoSoundDevice();
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  Display display;

  Figures ours, theirs;
  for (int run = 0; run < runs; ++run) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    {
      Program program(live, noSound);
      std::unique_ptr<Child> player = program.Start();
      std::this_thread::sleep_for(kSettle);
      const Window w = Measure(player->pid());
      ours.playCpu.push_back(w.cpu);
      ours.playWakeUps.push_back(w.wakeUps);
      ours.peakMb.push_back(
          static_cast<double>(tw::bench::StatusKb(std::to_string(player->pid()), "VmHWM")) / 1024);
      Stop(*player);
    }
    {
      Program program(live, noSound, false);
      std::unique_ptr<Child> player = program.Start();
      std::this_thread::sleep_for(kSettle);
      const Window w = Measure(player->pid());
      ours.idleCpu.push_back(w.cpu);
      ours.idleWakeUps.push_back(w.wakeUps);
      Stop(*player);
    }
    {
      Program program(shortUrl, noSound);
      std::unique_ptr<Child> player = program.Start();
      std::this_thread::sleep_for(std::chrono::duration<double>(kShortSeconds) + kSettle);
      const Window w = Measure(player->pid());
      ours.endedCpu.push_back(w.cpu);
      ours.endedWakeUps.push_back(w.wakeUps);
      Stop(*player);
    }
    {
      Child floor({TW_FLOOR_EXE}, false);
      std::this_thread::sleep_for(kSettle);
      ours.floorCpu.push_back(Measure(floor.pid()).cpu);
      ours.floorMb.push_back(
          static_cast<double>(tw::bench::StatusKb(std::to_string(floor.pid()), "VmHWM")) / 1024);
      Stop(floor);
    }
    {
      setenv("SDL_AUDIODRIVER", "disk", 1);
      Program program(live, 0);
      const fs::path file = program.path() / "sdlaudio.raw";
      setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
      if (auto s = FirstAudio([&] { return program.Start(); }, file)) ours.firstAudio.push_back(*s);
    }
    if (!mpv) continue;
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    {
      Child player(MpvArgs(live, "null", false), false);
      std::this_thread::sleep_for(kSettle);
      const Window w = Measure(player.pid());
      theirs.playCpu.push_back(w.cpu);
      theirs.playWakeUps.push_back(w.wakeUps);
      theirs.peakMb.push_back(
          static_cast<double>(tw::bench::StatusKb(std::to_string(player.pid()), "VmHWM")) / 1024);
      Stop(player);
    }
    {
      Child player({"mpv", "--no-config", "--no-video", "--no-terminal", "--ao=null", "--idle=yes"},
                   false);
      std::this_thread::sleep_for(kSettle);
      const Window w = Measure(player.pid());
      theirs.idleCpu.push_back(w.cpu);
      theirs.idleWakeUps.push_back(w.wakeUps);
      Stop(player);
    }
    {
      Child player(MpvArgs(shortUrl, "null", true), false);
      std::this_thread::sleep_for(std::chrono::duration<double>(kShortSeconds) + kSettle);
      const Window w = Measure(player.pid());
      theirs.endedCpu.push_back(w.cpu);
      theirs.endedWakeUps.push_back(w.wakeUps);
      Stop(player);
    }
    {
      setenv("SDL_AUDIODRIVER", "disk", 1);
      tw::test::TempFolder folder;
      const fs::path file = folder / "sdlaudio.raw";
      setenv("SDL_DISKAUDIOFILE", file.c_str(), 1);
      if (auto s = FirstAudio(
              [&] { return std::make_unique<Child>(MpvArgs(live, "sdl", false), false); }, file)) {
        theirs.firstAudio.push_back(*s);
      }
    }
  }

  std::printf("Whole player on Xvfb, median of %d runs; 20 s windows\n", runs);
  std::printf("%-44s %12s %12s   %5s\n", "", "Tunewell", "mpv", "ratio");
  Print("CPU while playing, s per 20 s", ours.playCpu, theirs.playCpu, "%12.3f");
  Print("  the libraries alone, box at 30 frames/s", ours.floorCpu, theirs.playCpu, "%12.3f");
  Print("wake-ups while playing, per 20 s", ours.playWakeUps, theirs.playWakeUps, "%12.0f");
  Print("CPU idle, nothing played yet, s per 20 s", ours.idleCpu, theirs.idleCpu, "%12.3f");
  Print("wake-ups idle, nothing played yet, per 20 s", ours.idleWakeUps, theirs.idleWakeUps,
        "%12.0f");
  Print("CPU idle after a stream ended, s per 20 s", ours.endedCpu, theirs.endedCpu, "%12.3f");
  Print("wake-ups idle after a stream ended, per 20 s", ours.endedWakeUps, theirs.endedWakeUps,
        "%12.0f");
  Print("first audio from process start, s", ours.firstAudio, theirs.firstAudio, "%12.3f");
  Print("peak memory (VmHWM), MiB", ours.peakMb, theirs.peakMb, "%12.1f");
  Print("  the libraries alone, window shown", ours.floorMb, theirs.peakMb, "%12.1f");
  return 0;
}
