// Keeps the computer from suspending while a station plays: from the moment a
// stream plays until it stops, ends or fails. Asks the desktop portal
// (org.freedesktop.portal.Inhibit, suspend and idle) where one runs, else logind
// on the system bus (a "sleep:idle" block held as a file descriptor). Driven by
// the player's announcements through PlayerControls; every call is asynchronous,
// and a portal or logind that refuses, fails or never answers changes nothing
// else. UI thread only.
#pragma once

#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <QTimer>
#include <optional>

namespace tw {

class PlayerControls;

class SuspendInhibitor : public QObject {
  Q_OBJECT

 public:
  explicit SuspendInhibitor(PlayerControls& player, QObject* parent = nullptr);
  // Lets go of what is held; gives the release a moment to reach the bus, since
  // the program ends right after.
  ~SuspendInhibitor() override;

  // Whether an inhibition is asked for or held (for tests).
  bool Wanted() const { return wanted_; }

 private:
  void Follow();
  void Inhibit(const QString& reason);
  void InhibitWithLogind(quint64 generation, const QString& reason);
  void Release();
  void ClosePortalRequest(const QString& handle);

  PlayerControls& player_;
  bool wanted_ = false;
  // Counts inhibitions asked for: an answer for an older one is let go at once.
  quint64 generation_ = 0;
  QString portalHandle_;              // the portal's request object while held
  QDBusUnixFileDescriptor logindFd_;  // logind's lock while held
  // While held, the state is read again every second: not every end of a stream
  // announces itself at once.
  QTimer recheck_;
  std::optional<QDBusPendingCall> closing_;  // the last portal release sent
};

}  // namespace tw
