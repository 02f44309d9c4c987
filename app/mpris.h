// The player on the session bus as an MPRIS 2.2 media player, so that media
// keys, the desktop's sound menu, KDE Connect and playerctl control it. Every
// call runs on the UI thread through tw::PlayerControls; nothing here waits on
// the bus or on a worker.
#pragma once

#include <QDBusVirtualObject>
#include <QString>
#include <QTimer>

#include "app/mpris_state.h"

class QDBusMessage;
class QDBusConnection;

namespace tw {

class PlayerControls;

inline constexpr const char* kMprisBusName = "org.mpris.MediaPlayer2.tunewell";
inline constexpr const char* kMprisPath = "/org/mpris/MediaPlayer2";
inline constexpr const char* kDesktopEntry = "io.github.tunewell.Tunewell";

class Mpris : public QDBusVirtualObject {
  Q_OBJECT

 public:
  explicit Mpris(PlayerControls& player, QObject* parent = nullptr);
  ~Mpris() override;

  // Puts the player on the session bus when there is one. The bus name is asked
  // for without waiting; when another player holds it, an instance name
  // (org.mpris.MediaPlayer2.tunewell.instance<pid>) is taken, as MPRIS allows.
  void Register();

  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  void Handle(const QDBusMessage& message, const QDBusConnection& connection);
  // The answers to org.freedesktop.DBus.Properties calls and to the MPRIS
  // methods; sent only when the caller wants one.
  QDBusMessage PropertiesAnswer(const QDBusMessage& call);
  QDBusMessage MethodAnswer(const QDBusMessage& call);
  void RequestName(const QString& name, bool lastTry);
  MprisState Current();
  void SendChanges();
  QVariant Property(const QString& interface, const QString& name);
  QVariantMap AllProperties(const QString& interface);
  QVariantMap Metadata(const MprisState& state) const;

  PlayerControls& player_;
  bool registered_ = false;
  QString artUrl_;
  // Changes are gathered and sent at most a few times a second, one
  // PropertiesChanged with every property that differs from what was last sent.
  QTimer coalesce_;
  MprisState sent_;
  // The title and station of the current track number.
  std::string trackTitle_;
  std::string trackArtist_;
  uint64_t track_ = 0;
};

// A second start: asks the running copy to show its window, without waiting for
// an answer. False when there is no session bus.
bool AskRunningCopyToRaise();
// Gives a request made by AskRunningCopyToRaise up to timeoutMs to reach the
// bus, for a process that ends right after it.
void FlushRaiseRequest(int timeoutMs);

}  // namespace tw
