// The tray icon on a StatusNotifierItem host (KDE, GNOME's AppIndicator
// extension), seen from the host's side: a stand-in for the host's watcher of the
// test's own on the desktop's session bus, and the icon's ToolTip as the host
// reads it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/desktop_session.h"
#include "tests/support/radio_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::DesktopSession;
using test::TempFolder;
namespace fs = std::filesystem;

// org.kde.StatusNotifierWatcher with a host registered: it takes the items that
// register and keeps their bus names.
class Watcher : public QDBusVirtualObject {
 public:
  explicit Watcher(const std::string& address)
      : connection_(QDBusConnection::connectToBus(QString::fromStdString(address), "watcher")) {
    connection_.registerVirtualObject("/StatusNotifierWatcher", this);
    connection_.registerService("org.kde.StatusNotifierWatcher");
  }
  ~Watcher() override {
    connection_.unregisterObject("/StatusNotifierWatcher");
    QDBusConnection::disconnectFromBus(connection_.name());
  }

  QString introspect(const QString&) const override {
    return "<interface name=\"org.kde.StatusNotifierWatcher\">"
           "<method name=\"RegisterStatusNotifierItem\"><arg type=\"s\" direction=\"in\"/>"
           "</method><property name=\"IsStatusNotifierHostRegistered\" type=\"b\" "
           "access=\"read\"/><property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
           "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
           "</interface>";
  }
  bool handleMessage(const QDBusMessage& call, const QDBusConnection& connection) override {
    if (call.member() == "RegisterStatusNotifierItem") {
      QString item = call.arguments().value(0).toString();
      // An item may give its object path only: then its bus name is the caller's.
      if (item.startsWith('/')) item = call.service();
      items_.push_back(item.toStdString());
      connection.send(call.createReply());
      return true;
    }
    if (call.member() == "Get") {
      const QString name = call.arguments().value(1).toString();
      QVariant value;
      if (name == "IsStatusNotifierHostRegistered") value = true;
      if (name == "ProtocolVersion") value = 0;
      if (name == "RegisteredStatusNotifierItems") value = QStringList();
      connection.send(call.createReply(QVariant::fromValue(QDBusVariant(value))));
      return true;
    }
    if (call.member() == "GetAll") {
      connection.send(call.createReply(
          QVariantMap{{"IsStatusNotifierHostRegistered", true}, {"ProtocolVersion", 0}}));
      return true;
    }
    return false;
  }
  const std::vector<std::string>& items() const { return items_; }

 private:
  QDBusConnection connection_;
  std::vector<std::string> items_;
};

// Polls `done`, letting the stand-in answer meanwhile.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Catches a title with markup reaching a StatusNotifierItem host changed: the
// ToolTip's title is plain text, so it must be the title exactly as sent.
TEST(TrayStatusNotifier, TheHostGetsTheTitleAsSent) {
  DesktopSession desktop;
  std::string bus;
  for (const std::string& entry : desktop.Environment()) {
    if (entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) bus = entry.substr(entry.find('=') + 1);
  }
  Watcher watcher(bus);

  test::RadioServer server;
  test::RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Loopback FM"};
  test::ToneSpec tone;
  tone.seconds = 4;
  route.body = test::EncodeTone(test::AudioFormat::kMp3, tone);
  route.metaint = 4096;
  // Past Timer1's first tick, so that the title is announced, then shown.
  route.titles = {{0, "StreamTitle='Before the tick';"},
                  {64000, "StreamTitle='<b>Live</b> &amp; <i>Loud</i>';"}};
  route.loopBody = true;
  route.bytesPerSecond = 16000;
  route.burstBytes = 32000;
  server.Serve("/live", route);

  TempFolder program;
  TempFolder locks;
  fs::copy_file(TW_PROBE_EXE, program / "tunewell");
  fs::create_directory(locks / "run");
  fs::permissions(locks / "run", fs::perms::owner_all, fs::perm_options::replace);
  program.Write("favorites.cfg", "[001]\r\nPath=" + server.Url("/live") + "\r\nTitle=Loopback\r\n");
  program.Write("radio_config.cfg", "[MAIN]\r\nPlayLast=1\r\nLAST=0\r\nDevice=2\r\n");
  std::vector<std::string> env = desktop.Environment();
  env.insert(env.end(), {"XDG_RUNTIME_DIR=" + (locks / "run").string(), "SDL_AUDIODRIVER=dummy",
                         "TW_TEST_TIMER1_MS=1500"});
  ChildProcess player((program / "tunewell").string(), env);

  ASSERT_TRUE(Eventually([&] { return !watcher.items().empty(); }, 60s));
  ASSERT_TRUE(Eventually([&] { return player.WaitForOutput("Label3=[<b>", 100ms); }, 60s))
      << player.output();
  const std::string item = watcher.items().front();
  const std::string service = item.substr(0, item.find('/'));
  std::string tip;
  EXPECT_TRUE(Eventually(
      [&] {
        tip = desktop.Run("/usr/bin/gdbus",
                          {"call", "--session", "--dest", service, "--object-path",
                           "/StatusNotifierItem", "--method", "org.freedesktop.DBus.Properties.Get",
                           "org.kde.StatusNotifierItem", "ToolTip"});
        return tip.find("'<b>Live</b> &amp; <i>Loud</i>'") != std::string::npos;
      },
      20s))
      << tip;
  player.Signal(SIGTERM);
  // Qt asks the watcher on its way out: it has to answer meanwhile.
  EXPECT_TRUE(Eventually([&] { return !player.Running(); }, 30s));
  EXPECT_EQ(player.Wait(5s), 0);
}

}  // namespace
}  // namespace tw
