// The main window's use of the tray icon, against a scripted desktop: when a song
// title becomes a balloon, what the tooltip shows, minimise to the tray and back,
// and start in the tray.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>

#include "app/Unit1.h"
#include "app/radio_status.h"
#include "tests/support/fake_tray.h"
#include "tests/support/temp_folder.h"
#include "ui/message_box.h"

namespace tw {
namespace {

using test::FakeNotificationArea;
using test::FakeTrayClock;

constexpr const char* kStations = "[001]\r\nPath=http://a/\r\nTitle=Alpha\r\n";

class TrayFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageBoxHook([](const BoxRequest&) {});
  }
  void TearDown() override {
    form.reset();
    SetMessageBoxHook(nullptr);
  }

  TForm1& Start(const char* settings = "") {
    form.reset();
    folder.Write("favorites.cfg", kStations);
    folder.Write("radio_config.cfg", settings);
    form = std::make_unique<TForm1>(folder.path(), TrayDesktopParts{&area, &clock});
    clock.icon = form->TrayIcon1.get();
    form->FormCreate();
    return *form;
  }
  void Title(const char* title) { form->RadioStatus(7, reinterpret_cast<intptr_t>(title), 0); }
  std::vector<std::string> Balloons() const {
    std::vector<std::string> texts;
    for (const BalloonRequest& b : area.Shown()) {
      EXPECT_EQ(b.title, "Tunewell");
      EXPECT_EQ(b.timeoutMs, 5000);
      texts.push_back(b.text);
    }
    return texts;
  }
  // The tooltip as the desktop last got it ("" when it never got one).
  std::string ShownTip() {
    form->TrayIcon1->Callback(tray_code::kMouseMove);
    std::string tip;
    for (const auto& call : area.calls) {
      if (call.kind == "tip") tip = call.tip;
    }
    return tip;
  }

  test::TempFolder folder;
  FakeNotificationArea area;
  FakeTrayClock clock;
  std::unique_ptr<TForm1> form;
};

TEST_F(TrayFormTest, OneBalloonPerTickForEachNewTitle) {
  Start();
  // Before the first tick: no balloon, nothing kept, no tooltip.
  Title("One");
  EXPECT_TRUE(Balloons().empty());
  EXPECT_EQ(form->lied, "");
  EXPECT_EQ(ShownTip(), "");

  form->Timer1Timer();
  Title("One");
  Title("One");
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"One"}));
  EXPECT_EQ(ShownTip(), "");  // the tooltip follows at the next tick

  // A change while no balloon is permitted is not announced, nor shown.
  Title("Two");
  form->Timer1Timer();
  EXPECT_EQ(ShownTip(), "One");
  // Just after the tick the next one goes out at once.
  Title("Two");
  EXPECT_EQ(Balloons(), (std::vector<std::string>{"One", "Two"}));
  // A button release over the icon brings the tooltip up to date.
  form->TrayIcon1->Callback(tray_code::kLButtonDown);
  form->TrayIcon1->Callback(tray_code::kLButtonUp);
  EXPECT_EQ(ShownTip(), "Two");

  // "No hint in the tray": no balloon, nothing kept, the tooltip stays.
  form->CheckBox3->setChecked(true);
  form->Timer1Timer();
  Title("Three");
  EXPECT_EQ(Balloons().size(), 2u);
  EXPECT_EQ(form->lied, "Two");
  EXPECT_EQ(ShownTip(), "Two");
  EXPECT_TRUE(form->timerum);
}

// A title in any script, or longer than a balloon, counts as announced once it was.
TEST_F(TrayFormTest, TitlesAreKeptWholeSoEachSongIsAnnouncedOnce) {
  Start();
  const std::string cyrillic =
      "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE \xE2\x80\x94 "
      "\xD0\x93\xD1\x80\xD1\x83\xD0\xBF\xD0\xBF\xD0\xB0 "
      "\xE3\x82\xA2 & <b>";
  const std::string longTitle(400, 'x');
  for (const std::string& title : {cyrillic, longTitle}) {
    SCOPED_TRACE(title.substr(0, 20));
    area.calls.clear();
    form->Timer1Timer();
    Title(title.c_str());
    form->Timer1Timer();
    Title(title.c_str());
    ASSERT_EQ(Balloons().size(), 1u);
    EXPECT_EQ(Balloons()[0], title.substr(0, 255));
    EXPECT_EQ(form->lied, title);
  }
  form->Timer1Timer();
  EXPECT_EQ(ShownTip(), std::string(127, 'x'));
}

// The desktop refused the icon: no balloon and no tooltip, yet the title counts
// as announced; the window never hides, having no icon to come back from.
TEST_F(TrayFormTest, RefusedIconStillKeepsTheTitleAndKeepsTheWindowReachable) {
  area.scripted["add"] = {{false, kTrayErrorRefused}};
  Start("[MAIN]\r\nStartTray=1\r\n");
  EXPECT_FALSE(form->startsHidden());
  form->Timer1Timer();
  Title("One");
  EXPECT_EQ(form->lied, "One");
  EXPECT_FALSE(form->timerum);
  EXPECT_EQ(area.Count("balloon") + area.Count("tip"), 0);

  form->show();
  form->showMinimized();
  QApplication::processEvents();
  EXPECT_TRUE(form->isVisible());
}

TEST_F(TrayFormTest, MinimiseGoesToTheTrayAndTheIconBringsTheWindowBack) {
  Start();
  EXPECT_FALSE(form->startsHidden());
  form->show();
  form->showMinimized();
  QApplication::processEvents();
  QApplication::processEvents();
  EXPECT_FALSE(form->isVisible());

  // A single click, once the double-click time has passed.
  form->TrayIcon1->Callback(tray_code::kLButtonDown);
  form->TrayIcon1->Callback(tray_code::kLButtonUp);
  EXPECT_FALSE(form->isVisible());
  clock.Fire(TTrayIcon::kClickTimer);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->isMinimized());

  // A double-click too; a second click on a shown window leaves it shown.
  form->showMinimized();
  QApplication::processEvents();
  QApplication::processEvents();
  ASSERT_FALSE(form->isVisible());
  form->TrayIcon1->Callback(tray_code::kLButtonDblClk);
  EXPECT_TRUE(form->isVisible());
  form->TrayIcon1->Callback(tray_code::kRButtonDown);
  form->TrayIcon1->Callback(tray_code::kRButtonUp);
  clock.Fire(TTrayIcon::kClickTimer);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->isMinimized());
}

TEST_F(TrayFormTest, StartInTheTrayHidesTheWindowOnlyWithAnIcon) {
  Start("[MAIN]\r\nStartTray=1\r\n");
  EXPECT_TRUE(form->startsHidden());
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(form->CheckBox1->isChecked());
  Start("[MAIN]\r\nStartTray=0\r\n");
  EXPECT_FALSE(form->startsHidden());
}

}  // namespace
}  // namespace tw
