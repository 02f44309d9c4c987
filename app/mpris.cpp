#include "app/mpris.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QUrl>
#include <optional>

#include "app/player_controls.h"
#include "platform/program_folder.h"

namespace tw {

namespace {

const QString kRoot = QStringLiteral("org.mpris.MediaPlayer2");
const QString kPlayer = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kPeer = QStringLiteral("org.freedesktop.DBus.Peer");
const QString kNoTrack = QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");

constexpr int kCoalesceMs = 250;
// While a connect is under way its end reaches the window in ways that do not
// all announce themselves (a worker clears its flag last): look again.
constexpr int kConnectingRecheckMs = 250;

const char* kIntrospection = R"(  <interface name="org.mpris.MediaPlayer2">
    <method name="Raise"/>
    <method name="Quit"/>
    <property name="CanQuit" type="b" access="read"/>
    <property name="CanRaise" type="b" access="read"/>
    <property name="HasTrackList" type="b" access="read"/>
    <property name="Identity" type="s" access="read"/>
    <property name="DesktopEntry" type="s" access="read"/>
    <property name="SupportedUriSchemes" type="as" access="read"/>
    <property name="SupportedMimeTypes" type="as" access="read"/>
  </interface>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="Next"/>
    <method name="Previous"/>
    <method name="Pause"/>
    <method name="PlayPause"/>
    <method name="Stop"/>
    <method name="Play"/>
    <method name="Seek"><arg name="Offset" type="x" direction="in"/></method>
    <method name="SetPosition">
      <arg name="TrackId" type="o" direction="in"/>
      <arg name="Position" type="x" direction="in"/>
    </method>
    <method name="OpenUri"><arg name="Uri" type="s" direction="in"/></method>
    <signal name="Seeked"><arg name="Position" type="x"/></signal>
    <property name="PlaybackStatus" type="s" access="read"/>
    <property name="Rate" type="d" access="read"/>
    <property name="Metadata" type="a{sv}" access="read"/>
    <property name="Volume" type="d" access="readwrite"/>
    <property name="Position" type="x" access="read"/>
    <property name="MinimumRate" type="d" access="read"/>
    <property name="MaximumRate" type="d" access="read"/>
    <property name="CanGoNext" type="b" access="read"/>
    <property name="CanGoPrevious" type="b" access="read"/>
    <property name="CanPlay" type="b" access="read"/>
    <property name="CanPause" type="b" access="read"/>
    <property name="CanSeek" type="b" access="read"/>
    <property name="CanControl" type="b" access="read"/>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="properties" type="a{sv}" direction="out"/>
    </method>
    <method name="Set">
      <arg name="interface_name" type="s" direction="in"/>
      <arg name="property_name" type="s" direction="in"/>
      <arg name="value" type="v" direction="in"/>
    </method>
    <signal name="PropertiesChanged">
      <arg name="interface_name" type="s"/>
      <arg name="changed_properties" type="a{sv}"/>
      <arg name="invalidated_properties" type="as"/>
    </signal>
  </interface>
)";

// An MPRIS method: what it takes and what it does.
struct Method {
  const QString& interface;
  const char* member;
  const char* signature;  // its arguments
  // Refused with Busy while a dialog waits for the user, as the window's buttons
  // are out of reach then.
  bool busyWhileDialogOpen;
  // Null: accepted, with nothing to do.
  void (*run)(PlayerControls& player);
  // Set: refused with this error and text, whatever the player's state.
  const char* refusal = nullptr;
  const char* refusalText = nullptr;
};

// Searched in order: a call without an interface takes the first method of its
// name, the root interface's before the player's.
const Method kMethods[] = {
    {kRoot, "Raise", "", false, [](PlayerControls& p) { p.RestoreWindow(); }},
    {kRoot, "Quit", "", true, [](PlayerControls& p) { p.Quit(); }},
    {kPlayer, "Next", "", true, [](PlayerControls& p) { p.StepStation(+1); }},
    {kPlayer, "Previous", "", true, [](PlayerControls& p) { p.StepStation(-1); }},
    {kPlayer, "Pause", "", true, [](PlayerControls& p) { p.StopCommand(); }},
    {kPlayer, "PlayPause", "", true,
     [](PlayerControls& p) {
       if (p.PlaybackActive()) {
         p.StopCommand();
       } else {
         p.PlayCommand();
       }
     }},
    {kPlayer, "Stop", "", true, [](PlayerControls& p) { p.StopCommand(); }},
    {kPlayer, "Play", "", true, [](PlayerControls& p) { p.PlayCommand(); }},
    // CanSeek is false: nothing to do, as MPRIS says.
    {kPlayer, "SetPosition", "ox", false, nullptr},
    {kPlayer, "Seek", "x", false, nullptr},
    {kPlayer, "OpenUri", "s", false, nullptr, "org.freedesktop.DBus.Error.NotSupported",
     "Tunewell plays the stations of its list"},
};

const Method* FindMethod(const QString& interface, const QString& member) {
  for (const Method& method : kMethods) {
    if ((interface.isEmpty() || interface == method.interface) && member == method.member) {
      return &method;
    }
  }
  return nullptr;
}

QDBusMessage Error(const QDBusMessage& call, const char* name, const QString& text) {
  return call.createErrorReply(QString::fromLatin1(name), text);
}

QDBusMessage WrongArguments(const QDBusMessage& call) {
  return Error(call, "org.freedesktop.DBus.Error.InvalidArgs",
               QString("Wrong arguments (%1) for %2").arg(call.signature(), call.member()));
}

// The program icon for clients that show a picture with the song: the installed
// one (hicolor theme beside the executable), else the one a build folder draws.
QString FindArtUrl() {
  const std::string name = std::string(kDesktopEntry) + ".png";
  for (const char* place : {"../share/icons/hicolor/256x256/apps", "../data/icons/256"}) {
    const QFileInfo file(QString::fromStdString((ProgramFolder() / place / name).string()));
    if (file.exists()) return QUrl::fromLocalFile(file.canonicalFilePath()).toString();
  }
  return {};
}

}  // namespace

Mpris::Mpris(PlayerControls& player, QObject* parent)
    : QDBusVirtualObject(parent), player_(player), artUrl_(FindArtUrl()) {
  coalesce_.setSingleShot(true);
  coalesce_.setInterval(kCoalesceMs);
  connect(&coalesce_, &QTimer::timeout, this, [this] { SendChanges(); });
  connect(&player_.Signals(), &PlayerSignals::StateChanged, this, [this] {
    if (registered_ && !coalesce_.isActive()) coalesce_.start();
  });
}

Mpris::~Mpris() {
  if (registered_) QDBusConnection::sessionBus().unregisterObject(kMprisPath);
}

void Mpris::Register() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;  // a console, a CI machine: no media controls
  if (!bus.registerVirtualObject(kMprisPath, this, QDBusConnection::SingleNode)) return;
  registered_ = true;
  sent_ = Current();
  RequestName(kMprisBusName, false);
}

void Mpris::RequestName(const QString& name, bool lastTry) {
  QDBusMessage request = QDBusMessage::createMethodCall(
      "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName");
  constexpr uint kDoNotQueue = 4;
  request << name << kDoNotQueue;
  auto* watcher =
      new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(request), this);
  connect(
      watcher, &QDBusPendingCallWatcher::finished, this,
      [this, lastTry](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        QDBusPendingReply<uint> reply = *done;
        constexpr uint kPrimaryOwner = 1;
        constexpr uint kAlreadyOwner = 4;
        if (reply.isValid() && (reply.value() == kPrimaryOwner || reply.value() == kAlreadyOwner))
          return;
        if (!lastTry) {
          RequestName(QString("%1.instance%2").arg(kMprisBusName).arg(::getpid()), true);
        }
      });
}

QString Mpris::introspect(const QString&) const { return QString::fromLatin1(kIntrospection); }

bool Mpris::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
  if (message.type() != QDBusMessage::MethodCallMessage) return false;
  // Qt answers these itself (from introspect()).
  if (message.interface() == kIntrospectable || message.interface() == kPeer) return false;
  if (QThread::currentThread() != thread()) {
    // Only the UI thread may touch the window: hand the call over.
    QMetaObject::invokeMethod(
        this, [this, message, connection] { Handle(message, connection); }, Qt::QueuedConnection);
    return true;
  }
  Handle(message, connection);
  return true;
}

void Mpris::Handle(const QDBusMessage& call, const QDBusConnection& connection) {
  const QDBusMessage answer =
      call.interface() == kProperties ? PropertiesAnswer(call) : MethodAnswer(call);
  if (call.isReplyRequired()) connection.send(answer);
}

QDBusMessage Mpris::PropertiesAnswer(const QDBusMessage& call) {
  const QString member = call.member();
  const QString signature = call.signature();
  const QList<QVariant> args = call.arguments();
  if (member == "Get" && signature == "ss") {
    const QVariant value = Property(args[0].toString(), args[1].toString());
    if (!value.isValid()) {
      return Error(call, "org.freedesktop.DBus.Error.UnknownProperty",
                   QString("No property %1.%2").arg(args[0].toString(), args[1].toString()));
    }
    return call.createReply(QVariant::fromValue(QDBusVariant(value)));
  }
  if (member == "GetAll" && signature == "s") {
    const QString which = args[0].toString();
    if (which != kRoot && which != kPlayer && !which.isEmpty()) {
      return Error(call, "org.freedesktop.DBus.Error.UnknownInterface",
                   QString("No interface %1").arg(which));
    }
    return call.createReply(which.isEmpty() ? QVariantMap() : AllProperties(which));
  }
  if (member != "Set" || signature != "ssv") return WrongArguments(call);
  const QString which = args[0].toString();
  const QString name = args[1].toString();
  if (which != kPlayer || name != "Volume") {
    const bool known = Property(which, name).isValid();
    return Error(call,
                 known ? "org.freedesktop.DBus.Error.PropertyReadOnly"
                       : "org.freedesktop.DBus.Error.UnknownProperty",
                 QString("%1.%2 cannot be set").arg(which, name));
  }
  const QVariant value = args[2].value<QDBusVariant>().variant();
  if (value.metaType().id() != QMetaType::Double) {
    return Error(call, "org.freedesktop.DBus.Error.InvalidArgs", "Volume is a double");
  }
  const std::optional<int> bar = VolumeBarPosition(value.toDouble());
  if (!bar) return Error(call, "org.freedesktop.DBus.Error.InvalidArgs", "Volume is not a number");
  player_.SetVolume(*bar);
  return call.createReply();
}

QDBusMessage Mpris::MethodAnswer(const QDBusMessage& call) {
  const Method* method = FindMethod(call.interface(), call.member());
  if (!method) {
    return Error(call, "org.freedesktop.DBus.Error.UnknownMethod",
                 QString("No method %1.%2").arg(call.interface(), call.member()));
  }
  if (call.signature() != QLatin1String(method->signature)) return WrongArguments(call);
  if (method->refusal) return Error(call, method->refusal, method->refusalText);
  if (method->busyWhileDialogOpen && player_.DialogOpen()) {
    return Error(call, "org.mpris.MediaPlayer2.tunewell.Error.Busy",
                 "A Tunewell dialog is waiting for an answer");
  }
  if (method->run) method->run(player_);
  return call.createReply();
}

MprisState Mpris::Current() {
  MprisState state;
  state.playing = player_.PlaybackActive();
  if (state.playing) {
    state.title = player_.SongTitle().toStdString();
    state.artist = player_.StationShown().toStdString();
  }
  if (state.title != trackTitle_ || state.artist != trackArtist_) {
    trackTitle_ = state.title;
    trackArtist_ = state.artist;
    ++track_;
  }
  state.track = track_;
  state.volume = player_.Volume();
  const int rows = player_.StationCount();
  const int row = player_.CurrentStation();
  state.canGoNext = StepRow(row, rows, +1) >= 0;
  state.canGoPrevious = StepRow(row, rows, -1) >= 0;
  state.canPlay = rows > 0;
  return state;
}

QVariantMap Mpris::Metadata(const MprisState& state) const {
  QVariantMap metadata;
  if (!state.playing) {
    metadata["mpris:trackid"] = QVariant::fromValue(QDBusObjectPath(kNoTrack));
    return metadata;
  }
  metadata["mpris:trackid"] = QVariant::fromValue(
      QDBusObjectPath(QString("/io/github/tunewell/Tunewell/track/%1").arg(state.track)));
  if (!state.title.empty()) metadata["xesam:title"] = QString::fromStdString(state.title);
  if (!state.artist.empty()) {
    metadata["xesam:artist"] = QStringList{QString::fromStdString(state.artist)};
  }
  if (!artUrl_.isEmpty()) metadata["mpris:artUrl"] = artUrl_;
  return metadata;
}

QVariant Mpris::Property(const QString& interface, const QString& name) {
  if (interface == kRoot || interface.isEmpty()) {
    if (name == "CanQuit" || name == "CanRaise") return true;
    if (name == "HasTrackList") return false;
    if (name == "Identity") return QStringLiteral("Tunewell");
    if (name == "DesktopEntry") return QString::fromLatin1(kDesktopEntry);
    if (name == "SupportedUriSchemes" || name == "SupportedMimeTypes") return QStringList();
    if (interface == kRoot) return {};
  }
  if (interface != kPlayer && !interface.isEmpty()) return {};
  const MprisState state = Current();
  if (name == "PlaybackStatus") return QString(state.playing ? "Playing" : "Stopped");
  if (name == "Rate" || name == "MinimumRate" || name == "MaximumRate") return 1.0;
  if (name == "Metadata") return Metadata(state);
  if (name == "Volume") return state.volume / 100.0;
  if (name == "Position") return qlonglong(0);
  if (name == "CanGoNext") return state.canGoNext;
  if (name == "CanGoPrevious") return state.canGoPrevious;
  if (name == "CanPlay" || name == "CanPause") return state.canPlay;
  if (name == "CanSeek") return false;
  if (name == "CanControl") return true;
  return {};
}

QVariantMap Mpris::AllProperties(const QString& interface) {
  static const QStringList root = {"CanQuit",           "CanRaise",     "HasTrackList",
                                   "Identity",          "DesktopEntry", "SupportedUriSchemes",
                                   "SupportedMimeTypes"};
  static const QStringList player = {"PlaybackStatus", "Rate",        "Metadata",    "Volume",
                                     "Position",       "MinimumRate", "MaximumRate", "CanGoNext",
                                     "CanGoPrevious",  "CanPlay",     "CanPause",    "CanSeek",
                                     "CanControl"};
  QVariantMap all;
  for (const QString& name : interface == kRoot ? root : player) {
    all[name] = Property(interface, name);
  }
  return all;
}

void Mpris::SendChanges() {
  const MprisState now = Current();
  const std::vector<std::string> changed = ChangedPlayerProperties(sent_, now);
  sent_ = now;
  if (!changed.empty()) {
    QVariantMap values;
    for (const std::string& name : changed) {
      const QString key = QString::fromStdString(name);
      values[key] = Property(kPlayer, key);
    }
    QDBusMessage signal = QDBusMessage::createSignal(kMprisPath, kProperties, "PropertiesChanged");
    signal << kPlayer << values << QStringList();
    // Queued, never waited for; a bus that went away just drops it.
    QDBusConnection::sessionBus().send(signal);
  }
  if (player_.ConnectPending()) coalesce_.start(kConnectingRecheckMs);
}

namespace {

std::optional<QDBusPendingCall> g_raise;

}  // namespace

bool AskRunningCopyToRaise() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage raise = QDBusMessage::createMethodCall(kMprisBusName, kMprisPath, kRoot, "Raise");
  // Never start a service for it: only a running copy should answer.
  raise.setAutoStartService(false);
  g_raise = bus.asyncCall(raise, 2000);
  return true;
}

void FlushRaiseRequest(int timeoutMs) {
  if (!g_raise) return;
  if (!g_raise->isFinished()) {
    // The event loop runs meanwhile; only this exiting copy waits, never a window.
    QEventLoop loop;
    QDBusPendingCallWatcher watcher(*g_raise);
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
  }
  g_raise.reset();  // before the connection goes with the application
}

}  // namespace tw
