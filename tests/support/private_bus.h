// A D-Bus daemon of the test's own, so the user's desktop never sees the
// players a test starts, and a test can take the bus away.
#pragma once

#include <chrono>
#include <csignal>
#include <string>

#include "tests/support/child_process.h"

namespace tw::test {

class PrivateBus {
 public:
  PrivateBus() : daemon_("/usr/bin/dbus-daemon", {"--session", "--print-address", "--nofork"}, {}) {
    if (daemon_.WaitForOutput("\n", std::chrono::seconds(30))) {
      address_ = daemon_.output().substr(0, daemon_.output().find('\n'));
    }
  }
  const std::string& address() const { return address_; }
  std::string env() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }
  bool up() const { return !address_.empty(); }
  void Stop() {
    daemon_.Signal(SIGTERM);
    daemon_.Wait(std::chrono::seconds(10));
  }

 private:
  ChildProcess daemon_;
  std::string address_;
};

}  // namespace tw::test
