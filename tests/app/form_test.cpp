// The real main window on Qt's offscreen platform, started in a temporary program
// folder against the real engine (SDL's dummy output).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "app/Unit1.h"
#include "app/playback.h"
#include "app/radio_status.h"
#include "editor/Edit_Unit1.h"
#include "engine/engine.h"
#include "tests/support/temp_folder.h"
#include "tests/support/widget_place.h"
#include "ui/message_box.h"
#include "vis/paint_box.h"

namespace tw {
namespace {

using test::TempFolder;

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageBoxHook([this](const BoxRequest& box) { boxes.push_back(box); });
  }
  void TearDown() override { SetMessageBoxHook(nullptr); }

  std::unique_ptr<TForm1> Start(const char* stations, const char* settings = nullptr) {
    folder.Write("favorites.cfg", stations);
    if (settings) folder.Write("radio_config.cfg", settings);
    auto form = std::make_unique<TForm1>(folder.path());
    form->FormCreate();
    return form;
  }

  // Runs fn on another thread while the UI thread serves the window's events.
  static void OnWorker(const std::function<void()>& fn) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      fn();
      done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
  }

  TempFolder folder;
  std::vector<BoxRequest> boxes;
};

constexpr const char* kThreeStations =
    "[001]\r\nPath=http://a/\r\nTitle=Alpha\r\n[002]\r\nPath=http://b/\r\nTitle=Beta\r\n"
    "[003]\r\nPath=http://c/\r\nTitle=Gamma & Co\r\n";

// Every control sits at its place with its caption; the window is fixed-size with
// no maximise button.
TEST_F(FormTest, Layout) {
  TForm1 form(folder.path());
  struct {
    QWidget* control;
    QWidget* parent;
    QRect place;
    const char* caption;
  } controls[] = {
      {form.Label1, &form, {40, 27, 39, 15}, "Sender:"},
      {form.PaintFrame, &form, {40, 367, 265, 73}, nullptr},
      {form.ListBox1, &form, {40, 48, 329, 201}, nullptr},
      {form.GroupBox2, &form, {40, 266, 497, 101}, "Currently playing"},
      {form.Label3, form.GroupBox2, {11, 16, 483, 25}, ""},
      {form.Label4, form.GroupBox2, {3, 33, 491, 41}, "not playing"},
      {form.Label5, form.GroupBox2, {8, 80, 486, 13}, ""},
      {form.Button1, &form, {328, 384, 75, 25}, "&Play"},
      {form.ScrollBar1, &form, {248, 8, 121, 19}, nullptr},
      {form.ComboBox1, &form, {392, 8, 145, 23}, nullptr},
      {form.Button2, &form, {473, 235, 75, 25}, "&Close"},
      {form.Button3, &form, {423, 384, 75, 25}, "&About"},
      {form.CheckBox1, &form, {392, 64, 142, 17}, "S&tart in system tray"},
      {form.CheckBox2, &form, {392, 89, 97, 17}, "&Play last sender"},
      {form.CheckBox3, &form, {392, 113, 121, 17}, "No hint in the tray"},
      {form.Button4, &form, {414, 160, 155, 25}, "&Edit sender"},
  };
  for (const auto& c : controls) {
    SCOPED_TRACE(c.control->objectName().toStdString());
    EXPECT_EQ(c.control->parentWidget(), c.parent);
    test::ExpectPlaced(*c.control, c.place,
                       qobject_cast<QLabel*>(c.control) == form.Label1 ||
                           qobject_cast<QCheckBox*>(c.control) != nullptr);
    if (!c.caption) continue;
    if (auto* label = qobject_cast<QLabel*>(c.control)) {
      EXPECT_EQ(label->text(), c.caption);
    }
    if (auto* button = qobject_cast<QAbstractButton*>(c.control)) {
      EXPECT_EQ(button->text(), c.caption);
    }
    if (auto* box = qobject_cast<QGroupBox*>(c.control)) {
      EXPECT_EQ(box->title(), c.caption);
    }
  }
  EXPECT_EQ(form.Label2->pos(), QPoint(175, 8));
  EXPECT_EQ(form.Label2->text(), "Volume:");
  EXPECT_EQ(form.size(), QSize(575, 438));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form.windowTitle(), "Tunewell 0.6 - by the Tunewell developers");
  EXPECT_EQ(form.font().pointSize(), 9);
  EXPECT_EQ(form.font().families().value(0), "Segoe UI");
  EXPECT_EQ(form.ScrollBar1->minimum(), 0);
  EXPECT_EQ(form.ScrollBar1->maximum(), 100);
  EXPECT_FALSE(form.ComboBox1->isEditable());
  EXPECT_EQ(form.TimerRender->interval(), 33);
  EXPECT_EQ(form.Timer1->interval(), 20000);
  ASSERT_EQ(form.ImageList1.size(), 2);
  EXPECT_FALSE(form.Button1->icon().isNull());
}

// Tab moves through the controls in their creation order.
TEST_F(FormTest, TabOrder) {
  TForm1 form(folder.path());
  QList<QWidget*> expected = {form.ListBox1,  form.Button1, form.ScrollBar1, form.ComboBox1,
                              form.Button2,   form.Button3, form.CheckBox1,  form.CheckBox2,
                              form.CheckBox3, form.Button4};
  QList<QWidget*> seen;
  QWidget* w = form.ListBox1;
  for (int i = 0; i < 200 && seen.size() < expected.size(); ++i, w = w->nextInFocusChain()) {
    if (expected.contains(w) && !seen.contains(w)) seen.push_back(w);
  }
  EXPECT_EQ(seen, expected);
  for (QWidget* control : expected) {
    EXPECT_TRUE(control->focusPolicy() & Qt::TabFocus) << control->objectName().toStdString();
  }
}

// Start-up fills the lists and applies the stored settings; closing writes them.
TEST_F(FormTest, StartupAppliesSettingsAndShutdownWritesThem) {
  auto form = Start(kThreeStations,
                    "[MAIN]\r\nVOLUME=150\r\nLAST=2\r\nDevice=-1\r\nNOHINT=1\r\nPlayLast=2\r\n");
  EXPECT_TRUE(boxes.empty());
  ASSERT_EQ(form->ListBox1->count(), 3);
  EXPECT_EQ(form->ListBox1->item(2)->text(), "Gamma & Co");
  EXPECT_EQ(form->text, (std::vector<std::string>{"http://a/", "http://b/", "http://c/"}));
  EXPECT_EQ(form->ListBox1->currentRow(), 2);
  EXPECT_EQ(form->ScrollBar1->value(), 100);
  EXPECT_EQ(form->startupVolume, 150);
  EXPECT_EQ(form->Label2->text(), "Volume: 100%");
  EXPECT_TRUE(form->CheckBox3->isChecked());
  EXPECT_TRUE(form->CheckBox2->isChecked());
  EXPECT_FALSE(form->CheckBox1->isChecked());

  // The device list is the engine's, row 0 chosen for Device=-1.
  int devices = 0;
  BASS_DEVICEINFO info;
  while (BASS_GetDeviceInfo(static_cast<DWORD>(devices), &info)) ++devices;
  ASSERT_GE(devices, 2);
  EXPECT_EQ(form->ComboBox1->count(), devices);
  EXPECT_EQ(form->ComboBox1->currentIndex(), 0);
  EXPECT_EQ(form->ComboBox1->itemText(devices - 1), "No sound");

  form->ListBox1->setCurrentRow(0);
  form->CheckBox1->setChecked(true);
  form.reset();
  EXPECT_EQ(folder.Read("radio_config.cfg"),
            "[MAIN]\r\nVOLUME=100\r\nLAST=0\r\nDevice=0\r\nNOHINT=1\r\nPlayLast=1\r\n"
            "StartTray=1\r\n");
  // The engine was freed: it can be initialised again.
  ASSERT_TRUE(BASS_Init(0, 44100, 0, nullptr, nullptr));
  BASS_Free();
}

// Catches a double-click on the blank area under the last row ignored (only a
// row's double-click used to play), Enter in the list doing nothing, and a
// double-click with another button taken as one.
TEST_F(FormTest, DoubleClickAnywhereInTheListOrEnterActsAsPlay) {
  // A row without a URL: Play only turns the button into Stop, no connect starts.
  auto form = Start("[001]\r\nPath=\r\nTitle=No address\r\n", "[MAIN]\r\nLAST=0\r\n");
  form->show();
  QWidget* area = form->ListBox1->viewport();
  const QRect row = form->ListBox1->visualItemRect(form->ListBox1->item(0));
  const QPoint blank(row.center().x(), row.bottom() + 60);
  ASSERT_LT(blank.y(), area->height());
  ASSERT_EQ(form->ListBox1->itemAt(blank), nullptr);

  QTest::mouseDClick(area, Qt::RightButton, {}, blank);
  EXPECT_EQ(form->Button1->text(), "&Play");
  QTest::mouseDClick(area, Qt::LeftButton, {}, blank);
  EXPECT_EQ(form->Button1->text(), "&Stop");
  EXPECT_EQ(form->ListBox1->currentRow(), 0);
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
    form->Button1->setText("&Play");
    QTest::keyClick(form->ListBox1, key);
    EXPECT_EQ(form->Button1->text(), "&Stop") << key;
  }
  EXPECT_TRUE(boxes.empty());
}

// Catches "Volume: 100%" running under the volume bar (drawn over the label, it
// hid the "%") in a font wider than the one the layout was drawn for, the bar
// moved to make room, and the reading jumping sideways as the value changes.
TEST_F(FormTest, VolumeReadingStaysWholeInEveryFont) {
  auto form = Start(kThreeStations, "[MAIN]\r\nVOLUME=100\r\n");
  const QStringList families = QFontDatabase::families();
  ASSERT_FALSE(families.isEmpty());
  for (const QString& family : families) {
    SCOPED_TRACE(family.toStdString());
    QFont font = form->font();
    font.setFamilies({family});
    form->Label2->setFont(font);
    form->ScrollBar1->setValue(0);
    const int left = form->Label2->x();
    form->ScrollBar1->setValue(100);
    EXPECT_EQ(form->Label2->text(), "Volume: 100%");
    EXPECT_EQ(form->Label2->x(), left);
    EXPECT_GE(form->Label2->x(), 0);
    EXPECT_GE(form->Label2->width(), form->Label2->sizeHint().width());
    EXPECT_LE(form->Label2->geometry().right(), form->ScrollBar1->x() - 1);
    EXPECT_EQ(form->ScrollBar1->geometry(), QRect(248, 8, 121, 19));
  }
}

// Catches the temporary files of saves killed half-way kept for good (one per
// kill), and a start that removes the one a save is writing now.
TEST_F(FormTest, StartupRemovesTemporaryFilesOfKilledSaves) {
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(2);
  for (const char* name : {".radio_config.cfg.Ab12Cd", ".favorites.cfg.Xy34Zw",
                           ".favorites.cfg.bak.Qr56St", ".radio_config.cfg.Nw78Nw"}) {
    folder.Write(name, "half");
    if (std::string(name) != ".radio_config.cfg.Nw78Nw") {
      std::filesystem::last_write_time(folder / name, old);
    }
  }
  auto form = Start(kThreeStations);
  for (const char* name :
       {".radio_config.cfg.Ab12Cd", ".favorites.cfg.Xy34Zw", ".favorites.cfg.bak.Qr56St"}) {
    EXPECT_FALSE(std::filesystem::exists(folder / name)) << name;
  }
  EXPECT_TRUE(std::filesystem::exists(folder / ".radio_config.cfg.Nw78Nw"));
}

// Catches Play that starts something without a selected row, and a row without
// a URL that connects to nothing instead of only turning the button into Stop.
TEST_F(FormTest, PlayWithoutARowOrWithoutAUrl) {
  auto form =
      Start("[001]\r\nPath=http://127.0.0.1:9/a\r\nTitle=A\r\n[002]\r\nPath=\r\nTitle=Empty\r\n",
            "[MAIN]\r\nLAST=5\r\n");
  ASSERT_EQ(form->ListBox1->currentRow(), -1);
  const int32_t requests = RequestNumber;
  form->Button1->click();
  EXPECT_EQ(form->Button1->text(), "&Play");
  EXPECT_FALSE(ConnectInProgress);

  form->ListBox1->setCurrentRow(1);
  form->Button1->click();
  EXPECT_EQ(form->Button1->text(), "&Stop");
  EXPECT_EQ(form->Button1->icon().cacheKey(), form->ImageList1[1].cacheKey());
  EXPECT_FALSE(ConnectInProgress);
  QCoreApplication::processEvents();
  EXPECT_EQ(RequestNumber.load(), requests);
  EXPECT_EQ(form->Label4->text(), "not playing");
  EXPECT_TRUE(boxes.empty());
}

// Catches a server's status line shown from an earlier connect (its stream
// still talking while a newer one connects) and audio data taken as text.
TEST_F(FormTest, ServerLineOfAnEarlierRequestIsNotShown) {
  auto form = Start(kThreeStations);
  const int32_t saved = RequestNumber;
  RequestNumber = 7;
  auto asUser = [](intptr_t request) { return reinterpret_cast<void*>(request); };
  OnWorker([&] { StatusProc("ICY 200 OK", 0, asUser(7)); });
  EXPECT_EQ(form->Label5->text(), "ICY 200 OK");
  OnWorker([&] {
    StatusProc("HTTP/1.1 404 Not Found", 0, asUser(6));
    StatusProc("audio", 5, asUser(7));
  });
  EXPECT_EQ(form->Label5->text(), "ICY 200 OK");
  RequestNumber = saved;
}

// Catches start-up steps that set no engine option or the wrong one: float DSP,
// no network pre-buffer, the 5000 ms playback buffer and playlists followed
// (set to other values first, so only start-up can have set them).
TEST_F(FormTest, StartupSetsTheEngineOptions) {
  BASS_SetConfig(BASS_CONFIG_FLOATDSP, 0);
  BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 75);
  BASS_SetConfig(BASS_CONFIG_BUFFER, 500);
  BASS_SetConfig(BASS_CONFIG_NET_PLAYLIST, 0);
  auto form = Start(kThreeStations);
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_FLOATDSP), 1u);
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_NET_PREBUF), 0u);
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_BUFFER), 5000u);
  EXPECT_EQ(BASS_GetConfig(BASS_CONFIG_NET_PLAYLIST), 1u);
}

// LAST beyond the list selects nothing; -1 selects row 0; an out-of-range device
// fails start-up only when the engine refuses it, which "No sound" never does.
TEST_F(FormTest, LastStationRow) {
  struct {
    const char* settings;
    int row;
  } cases[] = {{"[MAIN]\r\nLAST=-1\r\n", 0},
               {"[MAIN]\r\nLAST=3\r\n", -1},
               {"[MAIN]\r\nLAST=-2\r\n", -1},
               {"", 1}};
  for (const auto& c : cases) {
    folder.Write("radio_config.cfg", c.settings);
    auto form = Start(kThreeStations);
    EXPECT_EQ(form->ListBox1->currentRow(), c.row) << c.settings;
  }
}

// Status sent from another thread reaches the three lines, text pointers into the
// sender's stack included, and "&" is shown as itself.
TEST_F(FormTest, StatusFromWorkerThread) {
  auto form = Start(kThreeStations);
  OnWorker([] { SendRadioStatus(0, 0); });
  EXPECT_EQ(form->Label4->text(), "connecting...");
  EXPECT_EQ(form->Label3->text(), "");

  OnWorker([] {
    char name[] = "Jazz Lounge Import Mix";
    SendRadioStatus(3, reinterpret_cast<intptr_t>(name));
    name[0] = 'X';  // the window has copied it before the send returned
    char rate[] = "bitrate: 128";
    SendRadioStatus(4, reinterpret_cast<intptr_t>(rate));
    char title[] = "Simon & Garfunkel - Mrs. Robinson";
    SendRadioStatus(7, reinterpret_cast<intptr_t>(title));
  });
  EXPECT_EQ(form->Label4->text(), "Jazz Lounge");
  EXPECT_EQ(form->Label5->text(), "bitrate: 128");
  EXPECT_EQ(form->Label3->text(), "Simon & Garfunkel - Mrs. Robinson");

  OnWorker([] { SendRadioStatus(2, 1); });
  EXPECT_EQ(form->Label4->text(), "buffering... 1%");
  OnWorker([] { SendRadioStatus(8, reinterpret_cast<intptr_t>("HTTP/1.1 200 OK")); });
  EXPECT_EQ(form->Label5->text(), "HTTP/1.1 200 OK");
  EXPECT_EQ(form->Label3->text(), "Simon & Garfunkel - Mrs. Robinson");
  EXPECT_TRUE(boxes.empty());
}

// Catches status lines a screen reader cannot follow: a line read as its object
// name, an empty one read as its group's title, a line that does not follow its
// text, and the window read as a plain client area. (That each change is sent
// as an event is seen over AT-SPI, in MainWindowOverAtSpi.)
TEST_F(FormTest, StatusLinesReadTheirCurrentText) {
  auto form = Start(kThreeStations);
  QAccessibleInterface* title = QAccessible::queryAccessibleInterface(form->Label3);
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(title->role(), QAccessible::StaticText);
  EXPECT_EQ(title->text(QAccessible::Name), "");
  EXPECT_EQ(title->text(QAccessible::Description), "Song title");
  QAccessibleInterface* state = QAccessible::queryAccessibleInterface(form->Label4);
  EXPECT_EQ(state->text(QAccessible::Name), "not playing");
  OnWorker([] {
    char song[] = "Bj\xC3\xB6rk - J\xC3\xB3ga";
    SendRadioStatus(7, reinterpret_cast<intptr_t>(song));
    SendRadioStatus(2, 37);
  });
  EXPECT_EQ(title->text(QAccessible::Name), QString::fromUtf8("Bj\xC3\xB6rk - J\xC3\xB3ga"));
  EXPECT_EQ(state->text(QAccessible::Name), "buffering... 37%");
  EXPECT_EQ(QAccessible::queryAccessibleInterface(form.get())->role(), QAccessible::Window);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(form->PaintFrame)->text(QAccessible::Name),
            "Oscilloscope");
}

// "&" in a status line is drawn as a character, not taken as an accelerator.
TEST_F(FormTest, AmpersandIsDrawn) {
  TForm1 form(folder.path());
  auto inkWidth = [&](const QString& text) {
    form.Label3->setText(text);
    QImage image(form.Label3->size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    form.Label3->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    int left = image.width(), right = -1;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        if (qGray(image.pixel(x, y)) < 128) {
          left = std::min(left, x);
          right = std::max(right, x);
        }
      }
    }
    return right - left;
  };
  const int withAmpersand = inkWidth("A&B");
  const int without = inkWidth("AB");
  EXPECT_GE(withAmpersand - without, QFontMetrics(form.Label3->font()).horizontalAdvance("&") / 2);
}

// A failed stream shows "not playing" and the box with the sender's engine error
// code, even though the UI thread's own last engine call succeeded.
TEST_F(FormTest, NotPlayingBoxCarriesSendersErrorCode) {
  auto form = Start(kThreeStations);
  OnWorker([] {
    SendRadioStatus(7, reinterpret_cast<intptr_t>("Last title"));
    SendRadioStatus(4, reinterpret_cast<intptr_t>("bitrate: 64"));
  });
  BASS_GetDeviceInfo(0, nullptr);  // leaves an error on the UI thread
  const int uiError = BASS_ErrorGetCode();
  int workerError = 0;
  OnWorker([&] {
    BASS_PluginLoad("no-such-plugin.so", 0);
    workerError = BASS_ErrorGetCode();
    SendRadioStatus(1, 0);
  });
  ASSERT_NE(workerError, 0);
  ASSERT_NE(workerError, uiError);
  EXPECT_EQ(form->Label4->text(), "not playing");
  EXPECT_EQ(form->Label3->text(), "Last title");
  EXPECT_EQ(form->Label5->text(), "bitrate: 64");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, QString("Can't play the stream\r\n(error code: %1)").arg(workerError));
  EXPECT_EQ(boxes[0].owner, form.get());
  EXPECT_EQ(boxes[0].icon, BoxIcon::None);
  EXPECT_TRUE(boxes[0].title.isEmpty());
}

// About names the product; Close closes the window.
TEST_F(FormTest, AboutAndClose) {
  auto form = Start(kThreeStations);
  form->show();
  form->Button3->click();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].text.contains("Simple Tunewell"));
  form->Button2->click();
  EXPECT_FALSE(form->isVisible());
}

// A station file that cannot be read is reported by name; the list stays empty.
TEST_F(FormTest, UnreadableStationFile) {
  std::filesystem::create_directory(folder / "favorites.cfg");
  TForm1 form(folder.path());
  form.LoadStations();
  EXPECT_EQ(form.ListBox1->count(), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].text.contains("favorites.cfg"));
}

}  // namespace
}  // namespace tw

namespace tw {
namespace {

// "Edit sender" opens the editor modally; what it saves is in the main list when
// it closes.
TEST_F(FormTest, EditSenderReloadsTheList) {
  auto form = Start(kThreeStations);
  bool sawEditor = false;
  QTimer::singleShot(0, [&] {
    auto* editor = qobject_cast<TRadioEdit*>(QApplication::activeModalWidget());
    if (!editor) return;
    sawEditor = true;
    editor->Button1->click();  // Add
    editor->Button3->click();  // Save
  });
  form->Button4->click();
  ASSERT_TRUE(sawEditor);
  ASSERT_EQ(form->ListBox1->count(), 4);
  EXPECT_EQ(form->ListBox1->item(3)->text(), "Name");
  EXPECT_EQ(form->text.back(), "https://url");
}

}  // namespace
}  // namespace tw
