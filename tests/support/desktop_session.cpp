#include "tests/support/desktop_session.h"

#include <csignal>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

namespace tw::test {

using namespace std::chrono_literals;

namespace {

// The first line a process prints, without its line end; "" when none came.
std::string FirstLine(ChildProcess& process) {
  if (!process.WaitForOutput("\n", 20s)) return {};
  const std::string& out = process.output();
  return out.substr(0, out.find('\n'));
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

DesktopSession::DesktopSession() {
  for (const char* folder : {"config", "runtime", "data"}) {
    std::filesystem::create_directory(home_ / folder);
  }
  std::filesystem::permissions(home_ / "runtime", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  // The server picks a free display and names it on its first line.
  server_ =
      std::make_unique<ChildProcess>("/usr/bin/Xvfb",
                                     std::vector<std::string>{"-displayfd", "1", "-screen", "0",
                                                              "1024x768x24", "-nolisten", "tcp"},
                                     std::vector<std::string>{});
  const std::string number = FirstLine(*server_);
  if (number.empty()) throw std::runtime_error("Xvfb did not start");
  display_ = ":" + number;
  busDaemon_ = std::make_unique<ChildProcess>(
      "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--print-address"},
      std::vector<std::string>{});
  bus_ = FirstLine(*busDaemon_);
  if (bus_.empty()) throw std::runtime_error("dbus-daemon did not start");
}

DesktopSession::~DesktopSession() {
  // Clients first, the server last.
  for (auto* process : {&trayHost_, &notifications_, &windowManager_, &busDaemon_, &server_}) {
    if (!*process) continue;
    (*process)->Signal(SIGTERM);
    if ((*process)->Wait(5s) < 0) process->reset();  // killed by its destructor
  }
}

std::vector<std::string> DesktopSession::Environment() const {
  return {"DISPLAY=" + display_,
          "DBUS_SESSION_BUS_ADDRESS=" + bus_,
          "XDG_CONFIG_HOME=" + (home_ / "config").string(),
          "XDG_DATA_HOME=" + (home_ / "data").string(),
          "XDG_CURRENT_DESKTOP=",
          "QT_QPA_PLATFORM=xcb"};
}

std::unique_ptr<ChildProcess> DesktopSession::Start(const std::string& exe,
                                                    const std::vector<std::string>& args) const {
  return std::make_unique<ChildProcess>(exe, args, Environment());
}

std::string DesktopSession::Run(const std::string& exe,
                                const std::vector<std::string>& args) const {
  auto tool = Start(exe, args);
  tool->Wait(30s);
  return tool->output();
}

void DesktopSession::StartWindowManager() {
  windowManager_ = Start("/usr/bin/openbox", {"--sm-disable"});
}

void DesktopSession::StartNotificationService() {
  notifications_ = Start("/usr/bin/dunst", {});
  const bool up = WaitUntil(
      [this] {
        return Run("/usr/bin/dbus-send",
                   {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                    "string:org.freedesktop.Notifications"})
                   .find("boolean true") != std::string::npos;
      },
      20s);
  if (!up) throw std::runtime_error("dunst did not start");
}

void DesktopSession::StopNotificationService() {
  if (!notifications_) return;
  notifications_->Signal(SIGTERM);
  if (notifications_->Wait(5s) < 0) notifications_->Signal(SIGKILL);
  notifications_.reset();
}

void DesktopSession::StartTrayHost() {
  trayHost_ = Start("/usr/bin/trayer", {"--edge", "top", "--widthtype", "request"});
}

void DesktopSession::StopTrayHost() {
  if (!trayHost_) return;
  trayHost_->Signal(SIGKILL);
  trayHost_->Wait(5s);
  trayHost_.reset();
}

}  // namespace tw::test
