// Shared by the benchmarks: the loopback radio server in a process of its own
// (so its sending does not count as the engine's CPU time or memory), the ffmpeg
// command-line tool as a child process, CPU time, medians and /proc readings.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/radio_server.h"

extern char** environ;

namespace tw::bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// CPU seconds pid has used so far, all its threads together; 0 is this process.
// The scheduler's own count, exact to the nanosecond: utime and stime come in
// 10 ms ticks, too coarse for a few tenths of a second. 0 when pid is gone.
inline double CpuSeconds(pid_t pid = 0) {
  clockid_t clock{};
  timespec t{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One line: the median of a series of times and its spread.
inline void PrintSpread(const char* label, const std::vector<double>& values) {
  if (values.empty()) {
    std::printf("  %-50s (no successful run)\n", label);
    return;
  }
  std::printf("  %-50s %7.1f ms  (%.1f .. %.1f)\n", label, Median(values),
              *std::min_element(values.begin(), values.end()),
              *std::max_element(values.begin(), values.end()));
}

// A field of /proc/<pid>/status in kB ("VmRSS", "RssAnon", ...); -1 when absent.
inline long StatusKb(const std::string& pid, const std::string& field) {
  std::ifstream in("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

// A RadioServer in a forked child. Build the routes before anything starts a
// thread: fork copies only the calling thread.
class ForkedServer {
 public:
  explicit ForkedServer(std::vector<std::pair<std::string, test::RadioServer::Route>> routes) {
    int portPipe[2];
    int lifePipe[2];
    if (::pipe2(portPipe, O_CLOEXEC) != 0 || ::pipe2(lifePipe, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::close(portPipe[0]);
      ::close(lifePipe[1]);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      {
        test::RadioServer server;
        for (auto& [path, route] : routes) server.Serve(path, std::move(route));
        const uint16_t port = server.Port();
        if (::write(portPipe[1], &port, sizeof port) != sizeof port) ::_exit(1);
        // Serves until the parent closes its end (or dies).
        char byte;
        while (::read(lifePipe[0], &byte, 1) < 0) {
        }
      }
      ::_exit(0);
    }
    ::close(portPipe[1]);
    ::close(lifePipe[0]);
    lifeFd_ = lifePipe[1];
    uint16_t port = 0;
    const bool got = ::read(portPipe[0], &port, sizeof port) == sizeof port;
    ::close(portPipe[0]);
    if (!got) throw std::runtime_error("the server process did not start");
    port_ = port;
  }
  ~ForkedServer() {
    ::close(lifeFd_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ForkedServer(const ForkedServer&) = delete;
  ForkedServer& operator=(const ForkedServer&) = delete;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  pid_t pid_ = -1;
  int lifeFd_ = -1;
  uint16_t port_ = 0;
};

// A child process (the ffmpeg tool) with its standard output on a pipe when
// captureStdout, else on /dev/null; standard error always goes to /dev/null.
class Child {
 public:
  Child(const std::vector<std::string>& args, bool captureStdout) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int out[2] = {-1, -1};
    if (captureStdout) {
      if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int error = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureStdout) {
      ::close(out[1]);
      out_ = out[0];
    }
    if (error != 0) {
      if (out_ >= 0) ::close(out_);
      throw std::runtime_error("cannot start " + args[0]);
    }
  }
  ~Child() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  int out() const { return out_; }

  // Reaps the child; its exit status and the CPU time it used.
  int Wait() {
    int status = 0;
    ::wait4(pid_, &status, 0, &usage_);
    reaped_ = true;
    return status;
  }
  void Kill() {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  double CpuSeconds() const {
    auto seconds = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage_.ru_utime) + seconds(usage_.ru_stime);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  rusage usage_{};
};

}  // namespace tw::bench
