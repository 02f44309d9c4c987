// The "Currently playing" panel's menu, the window's shortcuts and the song
// history window, on the real window and engine against the loopback server.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/Unit1.h"
#include "app/playback.h"
#include "app/song_history.h"
#include "engine/engine.h"
#include "tests/support/no_sound_device.h"
#include "tests/support/radio_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"
#include "ui/message_box.h"

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::RadioServer;
using test::TempFolder;

// Where the desktop's browser would have been sent.
class UrlCatcher : public QObject {
  Q_OBJECT

 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }

 public:
  std::vector<QUrl> urls;
};

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 15s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

QStringList Texts(const QMenu* menu) {
  QStringList texts;
  for (const QAction* action : menu->actions()) texts << action->text();
  return texts;
}

QAction* Action(const QMenu* menu, const QString& start) {
  for (QAction* action : menu->actions()) {
    if (action->text().startsWith(start)) return action;
  }
  return nullptr;
}

class SongKeepingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageBoxHook([this](const BoxRequest& box) { boxes.push_back(box); });
    setenv("XDG_MUSIC_DIR", (folder / "Music").c_str(), 1);
    QDesktopServices::setUrlHandler("https", &browser, "Open");
  }
  void TearDown() override {
    QDesktopServices::unsetUrlHandler("https");
    form.reset();
    CurrentStream = 0;
    unsetenv("XDG_MUSIC_DIR");
    SetMessageBoxHook(nullptr);
  }

  void Start() {
    form = std::make_unique<TForm1>(folder.path());
    form->FormCreate();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  }

  // The menu as the right button opens it over the song title.
  QMenu* OpenMenu() {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(4, 4),
                            form->Label3->mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(form->Label3, &event);
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
  }

  QMessageBox* WaitForSaveBox() {
    QMessageBox* box = nullptr;
    PumpUntil([&] { return (box = form->findChild<QMessageBox*>("SaveResult")) != nullptr; });
    return box;
  }

  QWidget* HistoryWindow() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window->objectName() == "SongHistory" && window->isVisible()) return window;
    }
    return nullptr;
  }

  RadioServer server;
  TempFolder folder;
  UrlCatcher browser;
  std::unique_ptr<TForm1> form;
  std::vector<BoxRequest> boxes;
};

// Catches a panel without its menu (or one whose entries do nothing), a song
// saved before it has ended or not at all, a save whose outcome nobody sees, a
// failure reported as a success, shortcuts that copy the wrong thing, a history
// that misses a song, shows it out of order, or forgets it at a restart, a web
// search that loses "&" from the title, and a sleep timer a Stop leaves
// running.
TEST_F(SongKeepingTest, PanelMenuHistoryAndShortcuts) {
  test::ToneSpec tone;
  tone.seconds = 6;
  RadioServer::Route route;
  route.statusLine = "ICY 200 OK";
  route.headers = {"Content-Type: audio/mpeg", "icy-name:Test FM", "icy-br:128"};
  route.body = test::EncodeTone(test::AudioFormat::kMp3, tone);
  route.metaint = 4000;
  route.titles = {{0, "StreamTitle='One';"}, {40000, "StreamTitle='Two & Co';"}};
  route.burstBytes = 16000;
  route.bytesPerSecond = 16000;
  route.loopBody = true;
  server.Serve("/icy", route);
  folder.Write("favorites.cfg", "[001]\r\nPath=" + server.Url("/icy") + "\r\nTitle=Alpha\r\n");
  folder.Write("radio_config.cfg",
               "[MAIN]\r\nLAST=0\r\nDevice=" + std::to_string(test::NoSoundDevice()) + "\r\n");
  Start();
  form->Button1->click();
  ASSERT_TRUE(PumpUntil([&] { return form->Label3->text() == "One"; }));

  // One began before the tune-in: what was heard of it is saved once it ends.
  QMenu* menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  const QStringList texts = Texts(menu);
  ASSERT_EQ(texts.size(), 5) << texts.join('|').toStdString();
  EXPECT_EQ(texts[0], "&Copy title\tCtrl+C");
  EXPECT_TRUE(texts[1].startsWith("&Save this song from ")) << texts[1].toStdString();
  EXPECT_TRUE(texts[1].endsWith(" when it ends\tCtrl+S")) << texts[1].toStdString();
  EXPECT_EQ(texts[2], "Song &history...\tCtrl+H");
  EXPECT_EQ(texts[4], "S&leep timer");
  const QStringList sleep = Texts(menu->actions()[4]->menu());
  EXPECT_EQ(sleep, QStringList({"&Off", "15 minutes", "30 minutes", "45 minutes", "60 minutes",
                                "90 minutes", "120 minutes", "At the &end of this song"}));
  menu->actions()[1]->trigger();
  menu->close();
  QMessageBox* box = WaitForSaveBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(form->Label3->text(), "Two & Co");
  const std::filesystem::path saved = folder / "Music/Tunewell/One.mp3";
  EXPECT_EQ(box->text(), QString("Saved \"One\" as ") + saved.c_str());
  EXPECT_GT(std::filesystem::file_size(saved), 8000u);
  EXPECT_EQ(box->icon(), QMessageBox::Information);
  delete box;
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));

  // Ctrl+C copies the list's row while the list has focus, else the title.
  form->ListBox1->setFocus();
  QTest::keyClick(form.get(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "Alpha");
  QTest::mouseClick(form->Label3, Qt::LeftButton);
  EXPECT_EQ(QApplication::focusWidget(), form->Label3);
  QTest::keyClick(form.get(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "Two & Co");
  // With the focus on the panel's line, the keyboard opens its menu.
  for (auto [key, modifiers] :
       {std::pair{Qt::Key_F10, Qt::ShiftModifier}, std::pair{Qt::Key_Menu, Qt::NoModifier}}) {
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->Label3->setFocus();
    QTest::keyClick(form->Label3, key, modifiers);
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr) << key;
    EXPECT_EQ(menu->actions()[0]->text(), "&Copy title\tCtrl+C");
    menu->close();
    QCoreApplication::processEvents();
  }

  // Ctrl+H: newest first, filtered, copied, searched for.
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  QTest::keyClick(form.get(), Qt::Key_H, Qt::ControlModifier);
  QWidget* history = HistoryWindow();
  ASSERT_NE(history, nullptr);
  auto* songs = history->findChild<QTreeWidget*>("Songs");
  ASSERT_EQ(songs->topLevelItemCount(), 2);
  EXPECT_EQ(songs->topLevelItem(0)->text(2), "Two & Co");
  EXPECT_EQ(songs->topLevelItem(0)->text(1), "Test FM");
  EXPECT_EQ(songs->topLevelItem(1)->text(2), "One");
  history->findChild<QLineEdit*>("Filter")->setText("co");
  ASSERT_EQ(songs->topLevelItemCount(), 1);
  songs->setCurrentItem(songs->topLevelItem(0));
  for (QPushButton* button : history->findChildren<QPushButton*>()) {
    if (button->text() == "&Copy" || button->text() == "Search the &web") button->click();
  }
  EXPECT_EQ(QApplication::clipboard()->text(), "Two & Co");
  ASSERT_EQ(browser.urls.size(), 1u);
  EXPECT_EQ(browser.urls[0].toString(QUrl::FullyEncoded),
            "https://duckduckgo.com/?q=Two%20%26%20Co");

  // A music folder that cannot be made: the box says so, nothing claims success.
  std::filesystem::remove_all(folder / "Music/Tunewell");
  folder.Write("Music/Tunewell", "a file where the folder should be");
  history->findChild<QLineEdit*>("Filter")->setText("");
  songs->setCurrentItem(songs->topLevelItem(1));
  QPushButton* save = nullptr;
  for (QPushButton* button : history->findChildren<QPushButton*>()) {
    if (button->text() == "&Save") save = button;
  }
  ASSERT_NE(save, nullptr);
  ASSERT_TRUE(save->isEnabled());
  save->click();
  box = WaitForSaveBox();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->text().startsWith("Could not save \"One\": ")) << box->text().toStdString();
  EXPECT_TRUE(box->text().contains("Music/Tunewell")) << box->text().toStdString();
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  delete box;

  // The sleep timer shows its minutes in the menu; a Stop cancels it.
  menu = OpenMenu();
  ASSERT_NE(menu, nullptr);
  Action(menu->actions()[4]->menu(), "30 minutes")->trigger();
  menu->close();
  menu = OpenMenu();
  EXPECT_EQ(menu->actions()[4]->text(), "S&leep timer (30 minutes left)");
  menu->close();
  form->Button1->click();
  menu = OpenMenu();
  EXPECT_EQ(menu->actions()[4]->text(), "S&leep timer");
  EXPECT_FALSE(Action(menu, "&Copy title")->isEnabled());
  menu->close();

  // A restart brings the history back.
  form.reset();
  CurrentStream = 0;
  Start();
  QTest::keyClick(form.get(), Qt::Key_H, Qt::ControlModifier);
  history = HistoryWindow();
  ASSERT_NE(history, nullptr);
  songs = history->findChild<QTreeWidget*>("Songs");
  ASSERT_EQ(songs->topLevelItemCount(), 2);
  EXPECT_EQ(songs->topLevelItem(0)->text(2), "Two & Co");
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace tw

#include "song_keeping_test.moc"
