// "Find stations" in the real station editor on Qt's offscreen platform, against
// a loopback directory server named by DirectoryServer in the settings file.
#include "editor/find_stations.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "editor/Edit_Unit1.h"
#include "engine/engine.h"
#include "tests/support/radio_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_audio.h"
#include "ui/question_box.h"

namespace tw {
namespace {

using test::RadioServer;
using test::TempFolder;

constexpr const char* kSearch = "/json/stations/search";

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QTest::qWait(10);
  }
  return true;
}

std::string StationJson(const std::string& uuid, const std::string& name, const std::string& url,
                        const std::string& extra = "") {
  return R"({"stationuuid":")" + uuid + R"(","name":")" + name + R"(","url_resolved":")" + url +
         R"(","country":"France","codec":"MP3","bitrate":128)" + extra + "}";
}

class FindStationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetQuestionHook([this](const BoxRequest& box) {
      questions.push_back(box.text.toStdString());
      return answerYes;
    });
    folder.Write("favorites.cfg", "[001]\r\nPath=http://dup/\r\nTitle=Mine\r\nAudioNum=1\r\n");
    folder.Write("radio_config.cfg", "[MAIN]\r\nDirectoryServer=http://127.0.0.1:" +
                                         std::to_string(server.Port()) + "\r\n");
  }
  void TearDown() override { SetQuestionHook(nullptr); }

  void Answer(const std::vector<std::string>& stations, std::string path = kSearch) {
    std::string json = "[";
    for (const std::string& s : stations) json += (json.size() > 1 ? "," : "") + s;
    RadioServer::Route route;
    route.headers = {"Content-Type: application/json"};
    route.body = json + "]";
    server.Serve(std::move(path), route);
  }

  // The editor and its finder, shown and active as after exec().
  void Open() {
    editor = std::make_unique<TRadioEdit>(folder.path(), nullptr);
    finder = editor->CreateFinder();
    finder->show();
    finder->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(finder));
  }

  void SearchFor(const char* words) {
    finder->NameEdit->setFocus();
    QTest::keyClicks(finder->NameEdit, words);
    QTest::keyClick(finder->NameEdit, Qt::Key_Return);
  }

  std::string Status() const { return finder->StatusText->text().toStdString(); }

  RadioServer server;
  TempFolder folder;
  std::unique_ptr<TRadioEdit> editor;
  FindStationsDialog* finder = nullptr;  // owned by the editor
  std::vector<std::string> questions;
  bool answerYes = false;
};

// Catches a search that does not reach the table, an add that differs from the
// editor's own, a duplicate added without asking, a greyed station added, and
// anything written before Save.
TEST_F(FindStationsTest, SearchAndAdd) {
  const std::string fileBefore = folder.Read("favorites.cfg");
  Answer({StationJson("11111111-0601-11e8-ae97-52543be04c81",
                      "Jazz \\u0420\\u0430\\u0434\\u0438\\u043e", "http://jazz/live",
                      R"(,"tags":"jazz","votes":900)"),
          StationJson("22222222-0601-11e8-ae97-52543be04c81", "Dup FM", "http://dup/"),
          StationJson("33333333-0601-11e8-ae97-52543be04c81", "Local", "file:///etc/passwd")});
  server.Serve("/json/url/11111111-0601-11e8-ae97-52543be04c81", {});
  Open();
  // "Find..." sits in free space: it covers none of the described controls.
  const QWidget* described[] = {editor->Label1,  editor->Label2,  editor->Edit1,    editor->Button1,
                                editor->Button2, editor->Button3, editor->ListBox1, editor->Edit2,
                                editor->Button4, editor->Button5};
  for (const QWidget* control : described) {
    EXPECT_FALSE(control->geometry().intersects(editor->ButtonFind->geometry()))
        << control->objectName().toStdString();
  }
  SearchFor("jazz");
  EXPECT_EQ(Status(), "searching...");
  ASSERT_TRUE(WaitFor([&] { return finder->Results->rowCount() == 3; })) << Status();
  EXPECT_NE(server.RequestLine(kSearch).find("?name=jazz&limit=100&offset=0&order=votes"),
            std::string::npos);
  EXPECT_EQ(finder->Results->item(0, 0)->data(Qt::AccessibleTextRole).toString(),
            QString::fromUtf8("Jazz Радио, France, MP3, 128 kbps"));
  EXPECT_EQ(finder->Results->item(0, 5)->text(), "900");
  EXPECT_FALSE(finder->MoreButton->isEnabled());

  // Enter on the first row adds it, at the end, the selection and edits as they were.
  finder->Results->setFocus();
  QTest::keyClick(finder->Results, Qt::Key_Return);
  ASSERT_EQ(editor->ListBox1->count(), 2);
  EXPECT_EQ(editor->ListBox1->item(1)->text(), QString::fromUtf8("Jazz Радио"));
  EXPECT_EQ(editor->text, (std::vector<std::string>{"http://dup/", "http://jazz/live"}));
  EXPECT_TRUE(server.WaitForRequests("/json/url/11111111-0601-11e8-ae97-52543be04c81", 1));

  // A URL already in the list: asked first; No adds nothing, Yes adds it.
  QTest::keyClick(finder->Results, Qt::Key_Down);
  QTest::mouseClick(finder->AddButton, Qt::LeftButton);
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_NE(questions[0].find("already in the list"), std::string::npos);
  EXPECT_EQ(editor->ListBox1->count(), 2);
  answerYes = true;
  QTest::keyClick(finder->Results, Qt::Key_Enter);
  EXPECT_EQ(questions.size(), 2u);
  EXPECT_EQ(editor->text.back(), "http://dup/");

  // A file:// station is shown greyed and never added.
  QTest::keyClick(finder->Results, Qt::Key_Down);
  EXPECT_FALSE(finder->AddButton->isEnabled());
  QTest::keyClick(finder->Results, Qt::Key_Return);
  EXPECT_EQ(editor->ListBox1->count(), 3);
  EXPECT_EQ(Status(), "This station cannot be added: the stream address is not http or https");

  finder->reject();
  EXPECT_EQ(folder.Read("favorites.cfg"), fileBefore);
}

// Catches a failed or cancelled search that blocks the window, says nothing or
// touches the list, and "More results" that misses the next page.
TEST_F(FindStationsTest, FailuresCancelAndMore) {
  RadioServer::Route silent;
  silent.neverAnswer = true;
  server.Serve(kSearch, silent);
  Open();
  SearchFor("x");
  ASSERT_TRUE(server.WaitForRequests(kSearch, 1));
  EXPECT_TRUE(finder->CancelButton->isEnabled());
  QTest::mouseClick(finder->CancelButton, Qt::LeftButton);
  EXPECT_EQ(Status(), "Search cancelled");
  EXPECT_FALSE(finder->CancelButton->isEnabled());

  server.ServeText(kSearch, "text/html", "<html>Gateway</html>");
  QTest::mouseClick(finder->SearchButton, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Status() != "searching..."; }));
  EXPECT_EQ(Status(), "The station directory's answer could not be read");

  std::vector<std::string> page;
  for (int i = 0; i < 100; ++i) {
    page.push_back(StationJson("", "S" + std::to_string(i), "http://s/" + std::to_string(i)));
  }
  Answer(page);
  // The next page repeats one station of the first: it shows once.
  Answer({StationJson("", "S99", "http://s/99"), StationJson("", "Last", "http://s/last")},
         std::string(kSearch) +
             "?name=x&limit=100&offset=100&order=votes&reverse=true&hidebroken=true");
  QTest::mouseClick(finder->SearchButton, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return finder->Results->rowCount() == 100; })) << Status();
  ASSERT_TRUE(WaitFor([&] { return finder->MoreButton->isEnabled(); }));
  QTest::mouseClick(finder->MoreButton, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return finder->Results->rowCount() == 101; })) << Status();
  EXPECT_EQ(finder->Results->item(100, 0)->text(), "Last");
  EXPECT_FALSE(finder->MoreButton->isEnabled());
  EXPECT_EQ(editor->ListBox1->count(), 1);
}

// Catches a preview that plays on after another station is chosen, after
// Listen is pressed again, or after the finder closes.
TEST_F(FindStationsTest, ListenPreviewStops) {
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr) ||
              BASS_ErrorGetCode() == BASS_ERROR_ALREADY);
  test::ToneSpec tone;
  tone.seconds = 2;
  RadioServer::Route stream;
  stream.headers = {"Content-Type: audio/mpeg"};
  stream.body = test::EncodeTone(test::AudioFormat::kMp3, tone);
  stream.loopBody = true;
  stream.bytesPerSecond = 16000;
  stream.burstBytes = 32000;
  server.Serve("/a.mp3", stream);
  server.Serve("/b.mp3", stream);
  Answer({StationJson("", "A", server.Url("/a.mp3")), StationJson("", "B", server.Url("/b.mp3"))});
  Open();
  SearchFor("a");
  ASSERT_TRUE(WaitFor([&] { return finder->Results->rowCount() == 2; })) << Status();

  QTest::mouseClick(finder->ListenButton, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Status() == "Listening: A"; })) << Status();
  EXPECT_EQ(server.LiveConnections("/a.mp3"), 1);
  finder->Results->setFocus();
  QTest::keyClick(finder->Results, Qt::Key_Down);  // another station chosen
  EXPECT_TRUE(WaitFor([&] { return server.LiveConnections("/a.mp3") == 0; }));
  EXPECT_FALSE(finder->ListenButton->isChecked());

  QTest::mouseClick(finder->ListenButton, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Status() == "Listening: B"; })) << Status();
  QTest::mouseClick(finder->ListenButton, Qt::LeftButton);  // pressed again
  EXPECT_TRUE(WaitFor([&] { return server.LiveConnections("/b.mp3") == 0; }));

  QTest::mouseClick(finder->ListenButton, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return Status() == "Listening: B"; })) << Status();
  finder->reject();  // the finder closes
  EXPECT_TRUE(WaitFor([&] { return server.LiveConnections("/b.mp3") == 0; }));
  BASS_Free();
}

}  // namespace
}  // namespace tw
