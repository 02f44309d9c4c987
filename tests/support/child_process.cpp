#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tw::test {

ChildProcess::ChildProcess(const std::string& exe, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  // The test's own entries replace inherited ones of the same name: the first
  // of two would win.
  auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& own : env) replaced = replaced || name(own) == name(entry);
    if (!replaced) entries.push_back(entry);
  }
  entries.insert(entries.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<std::string> words{exe};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  out_ = pipeFds[0];
  if (rc != 0) throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
}

ChildProcess::~ChildProcess() {
  if (Running()) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  if (out_ >= 0) close(out_);
}

void ChildProcess::ReadAvailable(int timeoutMs) {
  pollfd fd{out_, POLLIN, 0};
  if (poll(&fd, 1, timeoutMs) <= 0) return;
  char buffer[4096];
  ssize_t n = read(out_, buffer, sizeof buffer);
  if (n > 0) output_.append(buffer, static_cast<std::size_t>(n));
}

bool ChildProcess::Running() {
  if (exited_) return false;
  pid_t done = waitpid(pid_, &status_, WNOHANG);
  if (done == pid_) exited_ = true;
  return !exited_;
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!Running()) {
      ReadAvailable(0);
      return output_.find(text) != std::string::npos;
    }
    ReadAvailable(50);
  }
  return true;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    ReadAvailable(20);
  }
  for (int i = 0; i < 100; ++i) {  // drain what the child left in the pipe
    std::size_t before = output_.size();
    ReadAvailable(0);
    if (output_.size() == before) break;
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}

void ChildProcess::Signal(int signal) {
  if (Running()) kill(pid_, signal);
}

}  // namespace tw::test
