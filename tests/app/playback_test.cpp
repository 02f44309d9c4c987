// From a station to sound: the real window, the real engine on its "No sound"
// output, and the loopback test radio server.
#include "app/playback.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <functional>
#include <thread>

#include "app/Unit1.h"
#include "editor/Edit_Unit1.h"
#include "engine/engine.h"
#include "tests/support/no_sound_device.h"
#include "tests/support/radio_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"
#include "ui/message_box.h"
#include "vis/paint_box.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::AudioFormat;
using test::RadioServer;
using test::TempFolder;

using test::NoSoundDevice;

// Serves the window's events until pred holds; false after the time limit.
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 15s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

const std::string& Mp3() {
  static const std::string mp3 = [] {
    test::ToneSpec tone;
    tone.seconds = 6;
    return test::EncodeTone(AudioFormat::kMp3, tone);
  }();
  return mp3;
}

class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageBoxHook([this](const BoxRequest& box) { boxes.push_back(box); });
  }
  void TearDown() override {
    form.reset();
    // The next test starts from a quiet engine state.
    CurrentStream = 0;
    SetMessageBoxHook(nullptr);
  }

  // settings null: keep the settings file as the last run left it.
  void Start(const std::string& stations, const char* settings = "") {
    folder.Write("favorites.cfg", stations);
    if (settings) {
      folder.Write("radio_config.cfg",
                   "[MAIN]\r\nDevice=" + std::to_string(NoSoundDevice()) + "\r\n" + settings);
    }
    form = std::make_unique<TForm1>(folder.path());
    form->FormCreate();
  }

  // Records every text Label4 shows while the window runs.
  void WatchStates() {
    states.clear();
    watcher = std::make_unique<QTimer>();
    QObject::connect(watcher.get(), &QTimer::timeout, [this] { Record(); });
    watcher->start(1);
  }
  // Also called after a wait, which may have seen a change the timer has not yet.
  void Record() {
    const QString now = form->Label4->text();
    if (states.empty() || states.back() != now) states.push_back(now);
  }

  RadioServer server;
  TempFolder folder;
  std::unique_ptr<TForm1> form;
  std::vector<BoxRequest> boxes;
  std::vector<QString> states;
  std::unique_ptr<QTimer> watcher;
};

std::string Stations(std::initializer_list<std::pair<std::string, std::string>> rows) {
  std::string file;
  int n = 0;
  for (const auto& [name, url] : rows) {
    char section[16];
    std::snprintf(section, sizeof section, "%03d", ++n);
    file += std::string("[") + section + "]\r\nPath=" + url + "\r\nTitle=" + name + "\r\n";
  }
  return file;
}

RadioServer::Route IcyRoute(std::vector<std::pair<size_t, std::string>> titles) {
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Test FM Import Mix", "icy-br:128"};
  route.body = Mp3();
  route.metaint = 8192;
  route.titles = std::move(titles);
  route.burstBytes = 48000;
  route.bytesPerSecond = 16000;
  return route;
}

// A double-click plays the station: the lines pass through connecting to the
// station name, bit rate and title, and titles follow the stream in order.
TEST_F(PlaybackTest, DoubleClickPlaysAndShowsMetadata) {
  RadioServer::Route route = IcyRoute(
      {{0, "StreamTitle='Simon & Garfunkel - Boxer';"}, {70000, "StreamTitle='Second Song';"}});
  route.loopBody = true;
  server.Serve("/icy", route);
  Start(Stations({{"Alpha", server.Url("/icy")}}), "LAST=0\r\nVOLUME=40\r\n");
  WatchStates();
  QTest::mouseDClick(form->ListBox1->viewport(), Qt::LeftButton, {},
                     form->ListBox1->visualItemRect(form->ListBox1->item(0)).center());
  EXPECT_EQ(form->Button1->text(), "&Stop");
  ASSERT_TRUE(PumpUntil([&] { return form->Label4->text() == "Test FM"; }))
      << form->Label4->text().toStdString();
  Record();
  EXPECT_EQ(form->Label5->text(), "bitrate: 128");
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Simon & Garfunkel - Boxer"; }));
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Second Song"; }));
  // The middle line went from "connecting..." to the station's name.
  auto connecting = std::find(states.begin(), states.end(), QString("connecting..."));
  ASSERT_NE(connecting, states.end());
  EXPECT_NE(std::find(connecting, states.end(), QString("Test FM")), states.end());
  EXPECT_EQ(states.back(), "Test FM");
  EXPECT_EQ(BASS_ChannelIsActive(CurrentStream), static_cast<DWORD>(BASS_ACTIVE_PLAYING));

  // The render tick gives the stream the bar's volume; moving the bar changes it.
  float volume = -1;
  ASSERT_TRUE(PumpUntil([&] {
    BASS_ChannelGetAttribute(CurrentStream, BASS_ATTRIB_VOL, &volume);
    return volume == 0.40f;
  }));
  form->ScrollBar1->setValue(75);
  BASS_ChannelGetAttribute(CurrentStream, BASS_ATTRIB_VOL, &volume);
  EXPECT_FLOAT_EQ(volume, 0.75f);
  EXPECT_EQ(form->Label2->text(), "Volume: 75%");

  // Play while playing is Stop.
  form->Button1->click();
  EXPECT_EQ(form->Button1->text(), "&Play");
  EXPECT_EQ(form->Label4->text(), "");
  EXPECT_EQ(BASS_ChannelIsActive(CurrentStream), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
  EXPECT_TRUE(boxes.empty());
}

// When the server drops the stream the window says "not playing" and shows the
// box with the engine's error code; the button still reads Stop.
TEST_F(PlaybackTest, ServerDropShowsNotPlaying) {
  RadioServer::Route route = IcyRoute({{0, "StreamTitle='Only';"}});
  route.loopBody = true;
  server.Serve("/drop", route);
  Start(Stations({{"Drop", server.Url("/drop")}}), "LAST=0\r\n");
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Only"; }));
  // The source leaves: the engine's reconnect finds it gone.
  server.Remove("/drop");
  server.Disconnect("/drop");
  ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }, 30s));
  EXPECT_EQ(form->Label4->text(), "not playing");
  EXPECT_EQ(boxes[0].text.left(21), "Can't play the stream");
  EXPECT_EQ(boxes[0].text,
            QString("Can't play the stream\r\n(error code: %1)").arg(BASS_ERROR_ENDED));
  EXPECT_EQ(form->Button1->text(), "&Stop");
}

// A station that cannot be reached shows the box with the connect's error code.
TEST_F(PlaybackTest, FailedConnect) {
  Start(Stations({{"Missing", server.Url("/nothing-here")}}), "LAST=0\r\n");
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }));
  EXPECT_EQ(boxes[0].text,
            QString("Can't play the stream\r\n(error code: %1)").arg(BASS_ERROR_HTTP));
  EXPECT_EQ(form->Label4->text(), "not playing");
  EXPECT_EQ(CurrentStream.load(), 0u);
  // The worker has finished: Play starts a new connect instead of beeping.
  ASSERT_TRUE(PumpUntil([&] { return !ConnectInProgress; }));
}

// Play while a connect is in progress only beeps: no second connect starts.
TEST_F(PlaybackTest, PlayWhileConnectingStartsNothing) {
  RadioServer::Route slow = IcyRoute({});
  slow.delayMs = 1500;
  server.Serve("/slow", slow);
  Start(Stations({{"Slow", server.Url("/slow")}}), "LAST=0\r\n");
  form->Button1->click();
  ASSERT_TRUE(ConnectInProgress);
  ASSERT_TRUE(PumpUntil([&] { return server.Requests("/slow") >= 1; }));
  const int32_t request = RequestNumber;
  form->Button1->click();
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return !ConnectInProgress; }));
  EXPECT_EQ(RequestNumber.load(), request);
  EXPECT_EQ(server.Requests("/slow"), 1);
}

// A slow connect that finishes after a newer one never replaces the newer stream.
TEST_F(PlaybackTest, StaleConnectFreesItsOwnStream) {
  RadioServer::Route slow = IcyRoute({{0, "StreamTitle='Old';"}});
  slow.delayMs = 1200;
  server.Serve("/slow", slow);
  server.Serve("/fast", IcyRoute({{0, "StreamTitle='New';"}}));
  Start(Stations({{"Slow", server.Url("/slow")}, {"Fast", server.Url("/fast")}}));
  // Workers send status to the window and wait for it: the test thread serves
  // the window's events while it waits.
  std::thread older([&] { ConnectWorker(server.Url("/slow")); });
  PumpUntil([&] { return server.Requests("/slow") >= 1; });
  std::thread newer([&] { ConnectWorker(server.Url("/fast")); });
  const bool shown = PumpUntil([&] { return form->Label3->text() == "New"; });
  const HSTREAM newest = CurrentStream;
  bool joined = false;
  std::thread joiner([&] {
    older.join();
    newer.join();
    joined = true;
  });
  PumpUntil([&] { return joined; }, 30s);
  joiner.join();
  ASSERT_TRUE(shown);
  EXPECT_EQ(CurrentStream.load(), newest);
  EXPECT_EQ(BASS_ChannelIsActive(newest), static_cast<DWORD>(BASS_ACTIVE_PLAYING));
  PumpUntil([] { return false; }, 300ms);
  EXPECT_EQ(form->Label3->text(), "New");
}

// PlayLast=1 plays the last station at start; the settings written at exit bring
// the same volume, row and boxes back.
TEST_F(PlaybackTest, AutoPlayAndSettingsRoundTrip) {
  server.Serve("/icy", IcyRoute({{0, "StreamTitle='Auto';"}}));
  Start(Stations({{"A", server.Url("/nothing")}, {"B", server.Url("/icy")}}),
        "LAST=1\r\nPlayLast=1\r\nVOLUME=33\r\nNOHINT=1\r\n");
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Auto"; }));
  form->Button1->click();  // stop
  form.reset();
  Start(Stations({{"A", server.Url("/nothing")}, {"B", server.Url("/icy")}}), nullptr);
  EXPECT_EQ(form->ListBox1->currentRow(), 1);
  EXPECT_EQ(form->ScrollBar1->value(), 33);
  EXPECT_TRUE(form->CheckBox2->isChecked());
  EXPECT_TRUE(form->CheckBox3->isChecked());
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// Switching the output device while a stream plays moves the stream: it keeps
// playing at the bar's volume; a device that cannot be opened leaves it playing
// where it was and says so.
TEST_F(PlaybackTest, DeviceSwitchKeepsTheStream) {
  RadioServer::Route route = IcyRoute({{0, "StreamTitle='Moving';"}});
  route.loopBody = true;
  server.Serve("/icy", route);
  Start(Stations({{"A", server.Url("/icy")}}), "LAST=0\r\nVOLUME=20\r\n");
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Moving"; }));
  const HSTREAM stream = CurrentStream;
  form->ComboBox1Change(0);  // the default output (SDL's dummy driver here)
  EXPECT_EQ(BASS_GetDevice(), 0u);
  EXPECT_EQ(CurrentStream.load(), stream);
  ASSERT_TRUE(PumpUntil(
      [&] { return BASS_ChannelIsActive(stream) == static_cast<DWORD>(BASS_ACTIVE_PLAYING); }));
  float volume = 0;
  BASS_ChannelGetAttribute(stream, BASS_ATTRIB_VOL, &volume);
  EXPECT_FLOAT_EQ(volume, 0.20f);

  form->ComboBox1Change(form->ComboBox1->count() + 5);
  EXPECT_TRUE(form->Label5->text().startsWith("Can't open")) << form->Label5->text().toStdString();
  EXPECT_EQ(BASS_GetDevice(), 0u);
  ASSERT_TRUE(PumpUntil(
      [&] { return BASS_ChannelIsActive(stream) == static_cast<DWORD>(BASS_ACTIVE_PLAYING); }));
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// A stall shows the buffering count while the stream waits, then the station
// again when it plays on.
TEST_F(PlaybackTest, StallShowsBufferingAndRecovers) {
  RadioServer::Route route = IcyRoute({{0, "StreamTitle='Steady';"}});
  route.burstBytes = 16000;
  route.pauses = {{40000, 2500}};  // about a second of audio after the burst
  route.loopBody = true;
  server.Serve("/stall", route);
  Start(Stations({{"A", server.Url("/stall")}}), "LAST=0\r\n");
  WatchStates();
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Steady"; }));
  ASSERT_TRUE(PumpUntil([&] { return form->Label4->text().startsWith("buffering... "); }));
  ASSERT_TRUE(PumpUntil([&] { return form->Label4->text() == "Test FM"; }));
  Record();
  // connecting..., Test FM, buffering... N% (counting up), Test FM. (A server
  // paced at exactly real time may stall again later; that is not this test's.)
  auto buffering = std::find_if(states.begin(), states.end(),
                                [](const QString& s) { return s.startsWith("buffering... "); });
  ASSERT_NE(buffering, states.end());
  EXPECT_NE(std::find(states.begin(), buffering, QString("Test FM")), buffering);
  EXPECT_NE(std::find(buffering, states.end(), QString("Test FM")), states.end());
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// Rows of the paint box that hold the trace's colour.
int TraceRows(const QImage& image) {
  int rows = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) == qRgb(255, 255, 255)) {
        ++rows;
        break;
      }
    }
  }
  return rows;
}

// The render tick draws the playing tone's waveform; after Stop the last trace
// stays on screen.
TEST_F(PlaybackTest, OscilloscopeDrawsAndKeepsTheLastTrace) {
  RadioServer::Route route = IcyRoute({{0, "StreamTitle='Wave';"}});
  route.loopBody = true;
  server.Serve("/icy", route);
  Start(Stations({{"A", server.Url("/icy")}}), "LAST=0\r\n");
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Wave"; }));
  // A 440 Hz tone at half scale spans many rows; silence would draw one.
  ASSERT_TRUE(PumpUntil([&] { return TraceRows(form->PaintFrame->Image()) > 10; }));
  form->Button1->click();  // Stop
  PumpUntil([] { return false; }, 100ms);
  const QImage last = form->PaintFrame->Image().copy();
  PumpUntil([] { return false; }, 300ms);
  EXPECT_EQ(form->PaintFrame->Image(), last);
  EXPECT_GT(TraceRows(last), 10);
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// Catches "connecting..." or "buffering..." left on screen while a stream plays
// from a server that names no station (plain HTTP, no icy-name): the middle line
// shows the station's name from the list instead.
TEST_F(PlaybackTest, ListNameWhenTheServerNamesNoStation) {
  RadioServer::Route route;
  route.headers = {"Content-Type: audio/mpeg"};
  route.body = Mp3();
  route.loopBody = true;
  route.burstBytes = 48000;
  route.bytesPerSecond = 16000;
  server.Serve("/plain", route);
  Start(Stations({{"Plain & Simple", server.Url("/plain")}}), "LAST=0\r\n");
  form->Button1->click();
  ASSERT_TRUE(
      PumpUntil([&] { return BASS_ChannelIsActive(CurrentStream) == BASS_ACTIVE_PLAYING; }));
  ASSERT_TRUE(PumpUntil([&] { return form->Label4->text() == "Plain & Simple"; }))
      << form->Label4->text().toStdString();
  EXPECT_TRUE(boxes.empty());
}

// Catches titles that reach the window only from Shoutcast metadata: the song
// change of a chained Ogg stream and the title of an HLS segment that a live
// playlist adds while the stream plays reach Label3 through their syncs (the
// monitor tick has stopped by then, so nothing else could show them).
TEST_F(PlaybackTest, OggAndHlsTitlesReachTheWindow) {
  test::ToneSpec one;
  one.seconds = 2;
  one.comments = {{"ARTIST", "First"}, {"TITLE", "One"}};
  test::ToneSpec two;
  two.seconds = 4;
  two.comments = {{"TITLE", "Two"}};
  RadioServer::Route ogg;
  ogg.headers = {"Content-Type: application/ogg"};
  ogg.body = test::ChainOgg({test::EncodeTone(AudioFormat::kOggVorbis, one),
                             test::EncodeTone(AudioFormat::kOggVorbis, two)});
  ogg.burstBytes = 8000;
  ogg.bytesPerSecond = 40000;
  server.Serve("/chain.ogg", ogg);

  test::ToneSpec tone;
  tone.seconds = 8;
  const std::vector<test::Segment> segments =
      test::EncodeToneSegments(AudioFormat::kAacAdts, tone, 4);
  ASSERT_EQ(segments.size(), 2u);
  auto playlist = [&](std::size_t count) {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:4\n";
    for (std::size_t i = 0; i < count; ++i) {
      text += "#EXTINF:4.0,Part " + std::to_string(i) + "\nseg" + std::to_string(i) + ".aac\n";
    }
    return text;
  };
  for (std::size_t i = 0; i < segments.size(); ++i) {
    RadioServer::Route segment;
    segment.headers = {"Content-Type: audio/aac"};
    segment.body = segments[i].bytes;
    server.Serve("/hls/seg" + std::to_string(i) + ".aac", segment);
  }
  server.ServeText("/hls/live.m3u8", "application/vnd.apple.mpegurl", playlist(1));

  Start(Stations({{"Chain", server.Url("/chain.ogg")}, {"Live", server.Url("/hls/live.m3u8")}}),
        "LAST=0\r\n");
  auto title = [&] { return form->Label3->text(); };
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return title() == "First - One"; })) << title().toStdString();
  ASSERT_FALSE(form->MonitorTimer->isActive());
  ASSERT_TRUE(PumpUntil([&] { return title() == "Two"; })) << title().toStdString();

  form->ListBox1->setCurrentRow(1);
  form->Button1->click();  // Stop
  form->Button1->click();  // Play the live playlist
  ASSERT_TRUE(PumpUntil([&] { return title() == "Part 0"; })) << title().toStdString();
  ASSERT_TRUE(PumpUntil([&] { return !form->MonitorTimer->isActive(); }));
  server.UpdateText("/hls/live.m3u8", playlist(2));
  ASSERT_TRUE(PumpUntil([&] { return title() == "Part 1"; })) << title().toStdString();
}

// Catches "&Edit sender" that leaves a playing stream playing under the editor,
// or that frees a stream still connecting (whose worker then publishes and
// plays it behind the user's back, or finds it gone).
TEST_F(PlaybackTest, EditSenderStopsPlayingButNotConnecting) {
  RadioServer::Route live = IcyRoute({{0, "StreamTitle='Live';"}});
  live.loopBody = true;
  server.Serve("/icy", live);
  RadioServer::Route slow = IcyRoute({{0, "StreamTitle='Late';"}});
  slow.delayMs = 1500;
  slow.loopBody = true;
  server.Serve("/slow", slow);
  Start(Stations({{"Live", server.Url("/icy")}, {"Slow", server.Url("/slow")}}), "LAST=0\r\n");
  auto editAndClose = [&] {
    bool opened = false;
    QTimer::singleShot(0, [&] {
      if (auto* editor = qobject_cast<TRadioEdit*>(QApplication::activeModalWidget())) {
        opened = true;
        editor->Button5->click();  // Close
      }
    });
    form->Button4->click();
    return opened;
  };

  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Live"; }));
  const HSTREAM playing = CurrentStream;
  ASSERT_TRUE(editAndClose());
  EXPECT_EQ(BASS_ChannelIsActive(playing), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
  EXPECT_EQ(form->Button1->text(), "&Play");
  EXPECT_EQ(form->Label3->text(), "");
  EXPECT_EQ(form->Label4->text(), "");

  form->ListBox1->setCurrentRow(1);
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return server.Requests("/slow") >= 1; }));
  ASSERT_TRUE(ConnectInProgress);
  ASSERT_TRUE(editAndClose());
  EXPECT_EQ(form->Button1->text(), "&Stop");
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "Late"; }));
  EXPECT_EQ(BASS_ChannelIsActive(CurrentStream), static_cast<DWORD>(BASS_ACTIVE_PLAYING));
  EXPECT_TRUE(boxes.empty());
}

// Catches a render tick that, asleep while nothing plays, is not woken by the
// next Play: the oscilloscope would keep the old trace, and the new stream the
// engine's volume instead of the bar's.
TEST_F(PlaybackTest, RenderTickSleepsWhileIdleAndWakesForTheNextStream) {
  RadioServer::Route loud = IcyRoute({{0, "StreamTitle='Wave';"}});
  loud.loopBody = true;
  server.Serve("/loud", loud);
  RadioServer::Route quiet = IcyRoute({{0, "StreamTitle='Hush';"}});
  test::ToneSpec silence;
  silence.amplitude = 0;
  silence.seconds = 6;
  quiet.body = test::EncodeTone(AudioFormat::kMp3, silence);
  quiet.loopBody = true;
  server.Serve("/quiet", quiet);
  Start(Stations({{"A", server.Url("/loud")}, {"B", server.Url("/quiet")}}),
        "LAST=0\r\nVOLUME=30\r\n");
  EXPECT_TRUE(PumpUntil([&] { return !form->TimerRender->isActive(); }, 2s))
      << "ticking before the first Play";

  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return TraceRows(form->PaintFrame->Image()) > 10; }));
  form->Button1->click();  // Stop
  EXPECT_TRUE(PumpUntil([&] { return !form->TimerRender->isActive(); }, 2s))
      << "ticking after Stop";
  EXPECT_GT(TraceRows(form->PaintFrame->Image()), 10) << "the last trace went";

  form->ListBox1->setCurrentRow(1);
  form->Button1->click();
  // Silence draws the one baseline row.
  ASSERT_TRUE(PumpUntil([&] { return TraceRows(form->PaintFrame->Image()) == 1; }));
  float volume = -1;
  EXPECT_TRUE(BASS_ChannelGetAttribute(CurrentStream, BASS_ATTRIB_VOL, &volume));
  EXPECT_FLOAT_EQ(volume, 0.3f);
}

}  // namespace
}  // namespace tw
