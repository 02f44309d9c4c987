// A child process with its standard output captured, for tests that run the
// player itself.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tw::test {

// `inherited` ("NAME=value" entries) changed by `changes` as ChildProcess takes
// them; the order of the rest is kept.
std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& inherited,
                                            const std::vector<std::string>& changes);

class ChildProcess {
 public:
  // Starts exe with the current environment changed by `env`: "NAME=value" sets
  // NAME (replacing the inherited value), "NAME" alone removes it.
  ChildProcess(const std::string& exe, const std::vector<std::string>& env)
      : ChildProcess(exe, {}, env) {}
  // The same, with arguments.
  ChildProcess(const std::string& exe, const std::vector<std::string>& args,
               const std::vector<std::string>& env);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits until the output holds `text` or the child exits or time runs out.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
  // Waits for the exit: the exit code, 128 + signal when killed, -1 on time-out.
  int Wait(std::chrono::milliseconds timeout);
  bool Running();
  void Signal(int signal);

  const std::string& output() const { return output_; }
  pid_t pid() const { return pid_; }

 private:
  void ReadAvailable(int timeoutMs);
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  bool exited_ = false;
  std::string output_;
};

}  // namespace tw::test
