// A desktop of its own for tests of the player as a desktop program: an X server
// (Xvfb), a private session bus, and on request a window manager (openbox), a
// notification service (dunst) and a tray host (trayer), all Debian's own. Each
// is stopped with the session.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace tw::test {

class DesktopSession {
 public:
  // Starts the X server and the bus; throws std::runtime_error when either fails.
  DesktopSession();
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  void StartWindowManager();
  void StartNotificationService();
  void StopNotificationService();
  void StartTrayHost();
  void StopTrayHost();

  // DISPLAY, DBUS_SESSION_BUS_ADDRESS and the XDG folders, for a process to
  // start on this desktop.
  std::vector<std::string> Environment() const;
  // Runs a desktop tool to its end; its standard output.
  std::string Run(const std::string& exe, const std::vector<std::string>& args) const;

 private:
  std::unique_ptr<ChildProcess> Start(const std::string& exe,
                                      const std::vector<std::string>& args) const;

  TempFolder home_;
  std::string display_;
  std::string bus_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> busDaemon_;
  std::unique_ptr<ChildProcess> windowManager_;
  std::unique_ptr<ChildProcess> notifications_;
  std::unique_ptr<ChildProcess> trayHost_;
};

// Polls `done` every 100 ms until it holds or `timeout` passed; whether it held.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace tw::test
