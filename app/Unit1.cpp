#include "app/Unit1.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>

#include "app/list_activation.h"
#include "app/playback.h"
#include "app/process_exit.h"
#include "app/radio_status.h"
#include "app/song_keeping.h"
#include "app/status_display.h"
#include "app/tray_desktop.h"
#include "editor/Edit_Unit1.h"
#include "engine/engine.h"
#include "platform/atomic_file.h"
#include "platform/ini_file.h"
#include "platform/text_codec.h"
#include "stations/radio_txt.h"
#include "stations/station_list.h"
#include "stations/station_save.h"
#include "ui/accessibility.h"
#include "ui/glyphs.h"
#include "ui/message_box.h"
#include "ui/window_font.h"
#include "ui/window_helpers.h"
#include "vis/osc_vis.h"
#include "vis/paint_box.h"

using tw::ui::AddStationRow;
using tw::ui::FitWidth;
using tw::ui::FromUtf8;
using tw::ui::Place;

namespace {

constexpr int kClientWidth = 575;
constexpr int kClientHeight = 438;
constexpr int kTimer1PeriodMs = 20000;

// The format plug-ins the player asks for; their formats are built into the engine.
constexpr const char16_t* kPlugins[] = {u"bass_opus.dll", u"bass_aac.dll", u"bassflac.dll",
                                        u"basshls.dll"};

QLabel* StatusLabel(QWidget* parent, const char* name, QRect place, const char* description) {
  auto* label = new tw::StatusLine(parent);
  label->setAccessibleDescription(description);
  label->setObjectName(name);
  label->setGeometry(place);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  label->setWordWrap(true);
  // Titles and station names often hold "&": show it, never as an accelerator.
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

TForm1::TForm1(std::filesystem::path programFolder, TrayDesktopParts tray, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      folder_(std::move(programFolder)) {
  setObjectName("Form1");
  tw::InstallAccessibility();
  setWindowTitle("Tunewell 0.6 - by the Tunewell developers");
  setWindowIcon(tw::MakeAppIcon());
  setFont(tw::WindowFont());
  setFixedSize(kClientWidth, kClientHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
  }
  CreateControls();
  SetTabOrder();
  CreateTray(tray);
  if (tray.timer1PeriodMs > 0) Timer1->setInterval(tray.timer1PeriodMs);
}

TForm1::~TForm1() {
  FormDestroy();
  // The icon goes after the shutdown, and before the parts it talks to.
  TrayIcon1.reset();
}

void TForm1::CreateControls() {
  ImageList1 = tw::MakeButtonGlyphs();

  Label1 = Place(new QLabel("Sender:", this), "Label1", {40, 27, 39, 15});
  Label2 = Place(new QLabel("Volume:", this), "Label2", {175, 8, 43, 15});
  PaintFrame = Place(new TPaintBox(this), "PaintFrame", {40, 367, 265, 73});

  ListBox1 = Place(new QListWidget(this), "ListBox1", {40, 48, 329, 201});
  ListBox1->setUniformItemSizes(true);

  GroupBox2 = Place(new QGroupBox("Currently playing", this), "GroupBox2", {40, 266, 497, 101});
  Label3 = StatusLabel(GroupBox2, "Label3", {11, 16, 483, 25}, "Song title");
  Label4 = StatusLabel(GroupBox2, "Label4", {3, 33, 491, 41}, "Station or connection state");
  Label4->setText("not playing");
  Label5 = StatusLabel(GroupBox2, "Label5", {8, 80, 486, 13}, "Bit rate or server status");

  Button1 = Place(new QPushButton("&Play", this), "Button1", {328, 384, 75, 25});
  Button1->setIcon(ImageList1[0]);

  ScrollBar1 = Place(new QScrollBar(Qt::Horizontal, this), "ScrollBar1", {248, 8, 121, 19});
  ScrollBar1->setRange(0, 100);
  ScrollBar1->setSingleStep(1);
  ScrollBar1->setPageStep(1);
  ScrollBar1->setFocusPolicy(Qt::StrongFocus);

  ComboBox1 = Place(new QComboBox(this), "ComboBox1", {392, 8, 145, 23});
  ComboBox1->setEditable(false);

  Button2 = Place(new QPushButton("&Close", this), "Button2", {473, 235, 75, 25});
  Button3 = Place(new QPushButton("&About", this), "Button3", {423, 384, 75, 25});
  CheckBox1 = Place(new QCheckBox("S&tart in system tray", this), "CheckBox1", {392, 64, 142, 17});
  CheckBox2 = Place(new QCheckBox("&Play last sender", this), "CheckBox2", {392, 89, 97, 17});
  CheckBox3 = Place(new QCheckBox("No hint in the tray", this), "CheckBox3", {392, 113, 121, 17});
  Button4 = Place(new QPushButton("&Edit sender", this), "Button4", {414, 160, 155, 25});
  for (QWidget* control : {static_cast<QWidget*>(Label1), static_cast<QWidget*>(CheckBox1),
                           static_cast<QWidget*>(CheckBox2), static_cast<QWidget*>(CheckBox3)}) {
    FitWidth(control);
  }

  TimerRender = new QTimer(this);
  TimerRender->setObjectName("TimerRender");
  TimerRender->setInterval(33);
  connect(TimerRender, &QTimer::timeout, this, [this] { TimerRenderTimer(); });
  TimerRender->start();
  MonitorTimer = new QTimer(this);
  MonitorTimer->setObjectName("MonitorTimer");
  connect(MonitorTimer, &QTimer::timeout, this, [this] { MonitorTick(); });
  // Fixed rhythm from the window's creation: a balloon does not restart it.
  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(kTimer1PeriodMs);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  Timer1->start();

  DescribeForScreenReaders();

  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  tw::OnListActivated(ListBox1, [this] { Button1Click(); });
  connect(ListBox1, &QListWidget::currentRowChanged, &playerSignals_,
          &tw::PlayerSignals::StateChanged);
  connect(ComboBox1, &QComboBox::activated, this, [this](int row) { ComboBox1Change(row); });
  connect(ScrollBar1, &QScrollBar::valueChanged, this,
          [this](int position) { ScrollBar1Scroll(position); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
}

// Buttons, check boxes, labels and the group box read their captions (Qt drops
// the "&"); the rest is named here.
void TForm1::DescribeForScreenReaders() {
  tw::SetAccessibleRole(this, QAccessible::Window);
  Label1->setBuddy(ListBox1);
  ListBox1->setAccessibleName("Sender");
  ScrollBar1->setAccessibleName("Volume");
  ComboBox1->setAccessibleName("Output device");
  // Qt on Linux reads a combo box's name as its current item and takes its label
  // from a buddy: this one has no caption on screen, so an unseen label is it.
  auto* deviceLabel = new QLabel("Output device", this);
  deviceLabel->setObjectName("ComboBox1Label");
  deviceLabel->hide();
  deviceLabel->setBuddy(ComboBox1);
  tw::SetAccessibleRole(PaintFrame, QAccessible::Graphic);
  PaintFrame->setAccessibleName("Oscilloscope");
  PaintFrame->setAccessibleDescription("The sound now playing");
}

void TForm1::SetTabOrder() {
  QWidget* order[] = {ListBox1, Button1,   ScrollBar1, ComboBox1, Button2,
                      Button3,  CheckBox1, CheckBox2,  CheckBox3, Button4};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

void TForm1::FormCreate() {
  namespace fs = std::filesystem;
  using tw::BoxIcon;

  timerum = false;
  // A save killed half-way leaves its temporary file; older than a minute, no
  // save still writes it.
  tw::RemoveStaleTemporaries(
      folder_, {tw::kStationFileName, tw::kSettingsFileName, tw::kStationBackupFileName},
      std::chrono::minutes(1));
  if (fs::exists(folder_ / tw::kRadioTxtFileName)) ImportStations();

  if (!fs::exists(folder_ / tw::kStationFileName)) {
    tw::ShowMessageBox({this, "favorites.cfg does not exist.", {}, BoxIcon::None});
    tw::ExitProcessNow(1);
  }
  LoadStations();
  minimizeHandlerInstalled_ = true;

  settings_ = tw::ReadSettings(tw::IniFile(folder_ / tw::kSettingsFileName));
  CheckBox3->setChecked(settings_.noHint);
  CheckBox1->setChecked(settings_.startTray);
  CheckBox2->setChecked(settings_.playLast);
  startupVolume = settings_.startupVolume;

  if (settings_.last >= 0 && settings_.last < ListBox1->count()) {
    ListBox1->setCurrentRow(settings_.last);
  }
  {
    // Not a user's scroll: the label shows the volume only once the engine runs.
    QSignalBlocker quiet(ScrollBar1);
    ScrollBar1->setValue(settings_.VolumeBarPosition());
  }

  tw::SetRadioStatusTarget(this);

  if ((BASS_GetVersion() >> 16) != BASSVERSION) {
    tw::ShowMessageBox(
        {nullptr, "An incorrect version of BASS.DLL was loaded", {}, BoxIcon::Error});
    tw::ExitProcessNow(0);
  }
  if ((BASS_FX_GetVersion() >> 16) != BASSVERSION) {
    tw::ShowMessageBox({this, "An incorrect version of BASS_FX.DLL was loaded (2.4 is required)",
                        "Incorrect BASS_FX.DLL", BoxIcon::Error});
    // Start-up goes on; the program closes normally once its message loop runs.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  }

  BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1);
  if (!BASS_Init(settings_.device, 44100, BASS_DEVICE_3D, this, nullptr)) {
    ShowEngineError("Can't initialize device", BASS_ErrorGetCode());
    tw::ExitProcessNow(0);
  }
  BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 0);
  BASS_SetConfigPtr(BASS_CONFIG_NET_PROXY, nullptr);
  ShowVolume();
  BASS_SetConfig(BASS_CONFIG_BUFFER, 5000);
  BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 1);
  // A station that played comes back after any outage until it is stopped.
  BASS_SetConfig(BASS_CONFIG_NET_RECONNECT, BASS_NET_RECONNECT_FOREVER);
  for (const char16_t* plugin : kPlugins) BASS_PluginLoad(plugin, BASS_UNICODE);
  FillDeviceList();
  Scope = std::make_unique<TOcilloScope>(PaintFrame->width(), PaintFrame->height());
  songKeeping_ = std::make_unique<tw::SongKeeping>(*this, *this, *GroupBox2, folder_,
                                                   []() -> HSTREAM { return tw::CurrentStream; });
  if (desktopArea_) {
    desktopArea_->onSaveAction = [this](const std::string& title) {
      songKeeping_->SaveSong(FromUtf8(title));
    };
  }
  started_ = true;
  // 257 auto-plays too (low 8 bits), 2 does not.
  if (settings_.autoPlayFlag == 1) Button1Click();
  // Without a tray host the window stays: nothing could bring it back.
  if (CheckBox1->isChecked() && TrayReady()) {
    hide();
    setWindowState(windowState() | Qt::WindowMinimized);
    startsHidden_ = true;
  }
}

void TForm1::FormDestroy() {
  if (!started_ || destroyed_) return;
  destroyed_ = true;
  tw::SetRadioStatusTarget(nullptr);
  MonitorTimer->stop();
  TimerRender->stop();
  text.clear();
  // Saves under way finish and the history reaches the disk while the engine runs.
  songKeeping_.reset();

  tw::SettingsToWrite out;
  out.volume = ScrollBar1->value();
  out.last = ListBox1->currentRow();
  out.device = ComboBox1->currentIndex();
  out.startTray = CheckBox1->isChecked();
  out.playLast = CheckBox2->isChecked();
  out.noHint = CheckBox3->isChecked();
  std::string error;
  if (!tw::WriteSettings(folder_ / tw::kSettingsFileName, out, &error)) {
    tw::ShowMessageBox({nullptr, QString::fromStdString(error), {}, tw::BoxIcon::Error});
  }
  BASS_Free();
}

void TForm1::ImportStations() {
  using Outcome = tw::ImportResult::Outcome;
  ListBox1->clear();
  tw::ImportResult result = tw::ImportRadioTxt(folder_);
  switch (result.outcome) {
    case Outcome::Imported:
      return;
    case Outcome::Unreadable:
      // Nothing was imported or changed; the player can still start.
      tw::ShowMessageBox({this, FromUtf8(result.error), {}, tw::BoxIcon::Warning});
      return;
    case Outcome::Malformed:
      tw::ShowMessageBox({this, tw::kRadioTxtFormatError, {}, tw::BoxIcon::None});
      tw::ExitProcessNow(0);
    case Outcome::WriteFailed:
      tw::ShowMessageBox({this,
                          QString(tw::kRadioTxtFormatError) + "\r\n\r\n" + FromUtf8(result.error),
                          {},
                          tw::BoxIcon::None});
      tw::ExitProcessNow(0);
  }
}

void TForm1::LoadStations() {
  text.clear();
  tw::IniFile file(folder_ / tw::kStationFileName);
  if (!file.exists() && file.error().empty()) return;  // the list keeps its rows
  ListBox1->clear();
  if (!file.error().empty()) {
    tw::ShowMessageBox({this, FromUtf8(file.error()), {}, tw::BoxIcon::Warning});
    return;
  }
  for (tw::Station& station : tw::ReadStations(file)) {
    AddStationRow(ListBox1, FromUtf8(station.name));
    text.push_back(std::move(station.url));
  }
  NotifyRemoteControls();
}

void TForm1::FillDeviceList() {
  BASS_DEVICEINFO info;
  for (DWORD i = 0; BASS_GetDeviceInfo(i, &info); ++i) {
    ComboBox1->addItem(FromUtf8(tw::EngineTextToUtf8(info.name ? info.name : "")));
  }
  const int row = settings_.device == -1 ? 0 : settings_.device;
  // Out of range leaves no row selected (and is saved back as -1).
  ComboBox1->setCurrentIndex(row >= 0 && row < ComboBox1->count() ? row : -1);
}

void TForm1::ShowVolume() {
  Label2->setText(QString("Volume: %1%").arg(ScrollBar1->value()));
  // In a font wider than the layout's, "Volume: 100%" would run under the bar,
  // which is drawn over the label: the label reaches left into the free space
  // instead, sized once for the widest reading so that it never jumps.
  const int widest = Label2->fontMetrics().horizontalAdvance("Volume: 100%") + 2;
  const int right = ScrollBar1->x() - 2;
  const int width = std::max(widest, Label2->width());
  Label2->setGeometry(std::min(Label2->x(), right - width), Label2->y(), width, Label2->height());
  NotifyRemoteControls();
}

void TForm1::ShowEngineError(const QString& message, int errorCode) {
  tw::ShowMessageBox(
      {this, message + QString("\r\n(error code: %1)").arg(errorCode), {}, tw::BoxIcon::None});
}

void TForm1::Button4Click() {
  // A connecting, buffering or stalled stream is left alone.
  if (BASS_ChannelIsActive(tw::CurrentStream) == BASS_ACTIVE_PLAYING) StopPlayback();
  tw::OpenStationEditor(this, folder_, static_cast<float>(ScrollBar1->value()) / 100);
  LoadStations();
}

void TForm1::Button2Click() { close(); }

void TForm1::Button3Click() {
  tw::ShowMessageBox({this,
                      "Simple Tunewell 0.6 - free internet radio player, (c) the Tunewell "
                      "developers - https://github.com/tunewell/tunewell",
                      {},
                      tw::BoxIcon::None});
}

void TForm1::ComboBox1Change(int row) {
  const HSTREAM stream = tw::CurrentStream;
  const DWORD active = BASS_ChannelIsActive(stream);
  if (active == BASS_ACTIVE_PLAYING || active == BASS_ACTIVE_STALLED) {
    // The playing stream moves to the new device and keeps its volume; a device
    // that cannot be opened leaves it where it was.
    if (!BASS_ChannelSetDevice(stream, static_cast<DWORD>(row))) {
      Label5->setText(QString("Can't open %1 (error code: %2)")
                          .arg(ComboBox1->itemText(row))
                          .arg(BASS_ErrorGetCode()));
    }
    BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, StreamVolume());
    return;
  }
  const int previous = static_cast<int>(BASS_GetDevice());
  BASS_Free();
  BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1);
  if (!BASS_Init(row, 44100, BASS_DEVICE_3D, nullptr, nullptr)) {
    const int error = BASS_ErrorGetCode();
    BASS_Init(previous, 44100, BASS_DEVICE_3D, nullptr, nullptr);
    Label5->setText(
        QString("Can't open %1 (error code: %2)").arg(ComboBox1->itemText(row)).arg(error));
  }
}

void TForm1::ScrollBar1Scroll(int) {
  BASS_ChannelSetAttribute(tw::CurrentStream, BASS_ATTRIB_VOL, StreamVolume());
  ShowVolume();
}

void TForm1::TimerRenderTimer() {
  const HSTREAM stream = tw::CurrentStream;
  const DWORD active = BASS_ChannelIsActive(stream);
  if (active != BASS_ACTIVE_PLAYING) {
    // Nothing plays and nothing is about to: the tick sleeps until the next
    // connect starts the monitor (StartMonitor), so an idle player never wakes.
    // A stalled stream keeps it, since it resumes by itself.
    if (active == BASS_ACTIVE_STOPPED && !MonitorTimer->isActive()) TimerRender->stop();
    return;
  }
  // The last trace stays on screen when the stream stops or stalls.
  TWaveData wave{};  // a failed request draws silence, not stack garbage
  BASS_ChannelGetData(stream, wave.data(), 2048);
  if (Scope) Scope->Draw(PaintFrame, wave, 0, 50);
  // A newly connected stream takes the bar's volume within one tick.
  BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, StreamVolume());
}
