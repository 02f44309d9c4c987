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
#include <string_view>

extern char** environ;

namespace tw::test {

namespace {
std::string_view NameOf(std::string_view entry) { return entry.substr(0, entry.find('=')); }
}  // namespace

std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& inherited,
                                            const std::vector<std::string>& changes) {
  // A name given twice would leave the choice to the child's getenv, which takes
  // the first: the inherited one, on a desktop where XDG_RUNTIME_DIR is set.
  std::vector<std::string> entries;
  for (const std::string& entry : inherited) {
    bool changed = false;
    for (const std::string& change : changes) changed = changed || NameOf(change) == NameOf(entry);
    if (!changed) entries.push_back(entry);
  }
  for (std::size_t i = 0; i < changes.size(); ++i) {
    bool later = false;  // the last change of a name wins
    for (std::size_t j = i + 1; j < changes.size(); ++j) {
      later = later || NameOf(changes[j]) == NameOf(changes[i]);
    }
    if (!later && changes[i].find('=') != std::string::npos) entries.push_back(changes[i]);
  }
  return entries;
}

ChildProcess::ChildProcess(const std::string& exe, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  std::vector<std::string> inherited;
  for (char** e = environ; *e; ++e) inherited.emplace_back(*e);
  std::vector<std::string> entries = ChangedEnvironment(inherited, env);
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
