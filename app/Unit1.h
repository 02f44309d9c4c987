// The main window: station list, "Currently playing" panel, volume, output
// device, options and buttons. Handlers stay short and call plain functions.
// Unit1.cpp builds the window and runs start-up and shutdown; Unit1_controls.cpp
// holds playback and what remote controls reach (PlayerControls); Unit1_tray.cpp
// the tray icon, its balloons and minimising into the tray.
#pragma once

#include <QList>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/player_controls.h"
#include "app/radio_status.h"
#include "app/settings.h"
#include "tray/tray_icon.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QIcon;
class QLabel;
class QListWidget;
class QPushButton;
class QScrollBar;
class QTimer;
class TOcilloScope;
class TPaintBox;
namespace tw {
class DesktopNotificationArea;
class SongKeeping;
}  // namespace tw

// The desktop the tray icon talks to. Left empty, the window uses this desktop's
// notification area and clock; tests give fake ones.
struct TrayDesktopParts {
  tw::NotificationArea* area = nullptr;
  tw::TrayClock* clock = nullptr;
  // Timer1's period; 0 is the program's 20 s (test builds shorten it).
  int timer1PeriodMs = 0;
};

class TForm1 : public QWidget, public tw::PlayerControls, public tw::RadioStatusTarget {
  Q_OBJECT

 public:
  // Builds the window and its controls; FormCreate runs the start-up sequence.
  explicit TForm1(std::filesystem::path programFolder, TrayDesktopParts tray = {},
                  QWidget* parent = nullptr);
  ~TForm1() override;

  // Start-up, strictly in order. A fatal failure shows its box and ends the
  // process at once, leaving the settings file as it was.
  void FormCreate();
  // Shutdown: runs once, when the window is destroyed after a complete start-up.
  void FormDestroy();

  // The status handler that other threads reach through tw::SendRadioStatus.
  void RadioStatus(int code, intptr_t value, int senderError) override;
  // A box with message, "\r\n(error code: N)".
  void ShowEngineError(const QString& message, int errorCode);

  void LoadStations();
  void FillDeviceList();

  // Playback.
  void Button1Click();
  void StopPlayback();
  void ComboBox1Change(int row);
  void ScrollBar1Scroll(int position);
  void TimerRenderTimer();
  // MonitorTimer, UI thread only (other threads go through tw::StartMonitorTimer).
  void StartMonitor(int periodMs) override;
  void StopMonitor() override;
  void MonitorTick();

  // Tray: song balloons, the tooltip, minimise to the tray and back.
  void AnnounceTitle();
  void Timer1Timer();
  void HideToTray();
  void TrayIcon1Click(tw::TTrayIcon& sender, tw::TMouseButton button, tw::TShiftState shift, int x,
                      int y);
  void TrayIcon1DblClick(tw::TTrayIcon& sender, tw::TMouseButton button, tw::TShiftState shift,
                         int x, int y);
  void TrayIcon1MouseUp(tw::TTrayIcon& sender, tw::TMouseButton button, tw::TShiftState shift,
                        int x, int y);
  // Whether the tray can take the window: the icon is in a tray host.
  bool TrayReady() const;
  // Start-up hid the window into the tray ("S&tart in system tray").
  bool startsHidden() const { return startsHidden_; }

  // Remote controls (tw::PlayerControls): the buttons' steps and what they show.
  void PlayCommand() override;
  void StopCommand() override;
  bool StepStation(int delta) override;
  void RestoreWindow() override;
  void Quit() override;
  void SetVolume(int percent) override;
  void SetFadeLevel(double level) override;
  bool PlaybackActive() const override;
  QString StationShown() const override;
  QString SongTitle() const override;
  int Volume() const override;
  int StationCount() const override;
  int CurrentStation() const override;
  bool ConnectPending() const override;
  bool DialogOpen() const override;
  tw::PlayerSignals& Signals() override { return playerSignals_; }

  // Controls, named as in the window's layout.
  QLabel* Label1;
  QLabel* Label2;
  TPaintBox* PaintFrame;
  QListWidget* ListBox1;
  QGroupBox* GroupBox2;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
  QPushButton* Button1;
  QScrollBar* ScrollBar1;
  QComboBox* ComboBox1;
  QPushButton* Button2;
  QPushButton* Button3;
  QCheckBox* CheckBox1;
  QCheckBox* CheckBox2;
  QCheckBox* CheckBox3;
  QPushButton* Button4;
  QTimer* TimerRender;
  QTimer* Timer1;
  QTimer* MonitorTimer;
  QList<QIcon> ImageList1;
  // The oscilloscope of PaintFrame, created at start-up.
  std::unique_ptr<TOcilloScope> Scope;
  std::unique_ptr<tw::TTrayIcon> TrayIcon1;

  // The song title last announced in a balloon, whole.
  std::string lied;
  // A balloon may be raised: set by each tick of Timer1, cleared by a balloon.
  bool timerum = false;

  // The URL of each station row.
  std::vector<std::string> text;
  // VOLUME as read at start-up, low 8 bits.
  uint8_t startupVolume = 48;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  class TrayWindowOf;
  void CreateTray(TrayDesktopParts tray);
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void ImportStations();
  void StartSelected();
  void ShowVolume();
  // The stream's volume: the bar's, times the fade level.
  float StreamVolume() const;
  void CreateControls();
  void SetTabOrder();
  void DescribeForScreenReaders();
  QObject* StatusContext() override { return this; }
  // Tells remote controls to read again.
  void NotifyRemoteControls() { emit playerSignals_.StateChanged(); }

  std::filesystem::path folder_;
  tw::StoredSettings settings_;
  bool started_ = false;
  bool destroyed_ = false;
  tw::PlayerSignals playerSignals_;
  QString playingName_;             // the list's name of the station last started
  QString stationShown_;            // the middle line once it names the station, else empty
  bool stopWhenConnected_ = false;  // a remote Stop came while connecting
  bool connectFailed_ = false;      // the last connect ended without a stream
  bool startsHidden_ = false;
  bool minimizeHandlerInstalled_ = false;
  bool hidingToTray_ = false;
  // Owned here when the window makes its own desktop parts.
  std::unique_ptr<tw::TrayWindow> trayWindow_;
  std::unique_ptr<tw::NotificationArea> ownArea_;
  std::unique_ptr<tw::TrayClock> ownClock_;
  tw::DesktopNotificationArea* desktopArea_ = nullptr;
  double fadeLevel_ = 1.0;  // a sleep timer's fade
  // The song history, saving songs, the sleep timer and the panel's menu.
  std::unique_ptr<tw::SongKeeping> songKeeping_;
};
