// The real station editor on Qt's offscreen platform, in a temporary program
// folder, with message boxes and the name prompt answered by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "editor/Edit_Unit1.h"
#include "editor/input_box.h"
#include "tests/support/failure_conditions.h"
#include "tests/support/station_text.h"
#include "tests/support/temp_folder.h"
#include "tests/support/widget_place.h"
#include "ui/message_box.h"

namespace tw {
namespace {

using test::FolderEntries;
using test::LoadedStations;
using test::NumberedStations;
using test::SectionNames;
using test::StationFile;
using test::TempFolder;

const std::vector<Station> kThree = {
    {"Alpha", "http://a/"}, {"Beta", "http://b/"}, {"Gamma & Co", "http://c/"}};

class RadioEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageBoxHook([this](const BoxRequest& box) { boxes.push_back(box); });
    SetInputBoxHook([this](const InputRequest& request) -> std::optional<QString> {
      prompts.push_back(request);
      if (answers.empty()) {
        ADD_FAILURE() << "unexpected prompt";
        return std::nullopt;
      }
      std::optional<QString> answer = answers.front();
      answers.pop_front();
      return answer;
    });
  }
  void TearDown() override {
    SetMessageBoxHook(nullptr);
    SetInputBoxHook(nullptr);
  }

  std::unique_ptr<TRadioEdit> Open(const std::string& bytes) {
    folder.Write("favorites.cfg", bytes);
    return std::make_unique<TRadioEdit>(folder.path(), nullptr);
  }
  // Shown and active, as after exec(), so that focus, keys and clicks are real.
  std::unique_ptr<TRadioEdit> OpenShown(const std::string& bytes) {
    auto dialog = Open(bytes);
    dialog->show();
    dialog->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    return dialog;
  }

  static std::vector<std::string> Names(const TRadioEdit& dialog) {
    std::vector<std::string> names;
    for (int i = 0; i < dialog.ListBox1->count(); ++i) {
      names.push_back(dialog.ListBox1->item(i)->text().toStdString());
    }
    return names;
  }
  static std::vector<std::string> Urls(const std::vector<Station>& stations) {
    std::vector<std::string> urls;
    for (const Station& s : stations) urls.push_back(s.url);
    return urls;
  }
  static std::vector<std::string> Names(const std::vector<Station>& stations) {
    std::vector<std::string> names;
    for (const Station& s : stations) names.push_back(s.name);
    return names;
  }
  static QPoint RowCentre(const TRadioEdit& dialog, int row) {
    return dialog.ListBox1->visualItemRect(dialog.ListBox1->item(row)).center();
  }
  static void ClickRow(TRadioEdit& dialog, int row) {
    QTest::mouseClick(dialog.ListBox1->viewport(), Qt::LeftButton, {}, RowCentre(dialog, row));
  }
  // What the window system delivers for a double-click; QTest's own sends the
  // double-click event alone.
  static void DoubleClickAt(TRadioEdit& dialog, QPoint at) {
    QWidget* viewport = dialog.ListBox1->viewport();
    QTest::mousePress(viewport, Qt::LeftButton, {}, at);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at);
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at);
  }
  static void DoubleClickRow(TRadioEdit& dialog, int row) {
    DoubleClickAt(dialog, RowCentre(dialog, row));
  }
  static int SelectedRow(const TRadioEdit& dialog) {
    const QList<QListWidgetItem*> selected = dialog.ListBox1->selectedItems();
    return selected.isEmpty() ? -1 : dialog.ListBox1->row(selected.front());
  }

  TempFolder folder;
  std::vector<BoxRequest> boxes;
  std::vector<InputRequest> prompts;
  std::deque<std::optional<QString>> answers;
};

// Catches controls misplaced, mislabelled or missing, a fixed-size dialog, a
// layout that moves controls when the dialog is resized, and default buttons.
TEST_F(RadioEditTest, Layout) {
  auto dialog = Open(StationFile(kThree));
  TRadioEdit& d = *dialog;
  struct {
    QWidget* control;
    QRect place;
    const char* caption;  // null: no caption
  } controls[] = {
      {d.Label1, {8, 8, 35, 15}, "Name:"},
      {d.Label2, {32, 338, 24, 15}, "URL:"},
      {d.Edit1, {72, 335, 353, 23}, ""},
      {d.Button1, {32, 384, 75, 25}, "&Add"},
      {d.Button2, {176, 384, 75, 25}, "&Remove"},
      {d.Button3, {320, 384, 75, 25}, "&Save"},
      {d.ListBox1, {64, 8, 361, 305}, nullptr},
      {d.Edit2, {431, 24, 189, 23}, ""},
      {d.Button4, {488, 53, 91, 25}, "C&hange name"},
      {d.Button5, {504, 384, 75, 25}, "&Close"},
  };
  d.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
  EXPECT_EQ(d.size(), QSize(628, 442));
  for (const QSize size : {QSize(628, 442), QSize(900, 700), QSize(400, 300)}) {
    d.resize(size);
    QApplication::processEvents();
    for (const auto& c : controls) {
      const std::string name = c.control->objectName().toStdString();
      SCOPED_TRACE(name);
      EXPECT_EQ(c.control->parentWidget(), &d);
      EXPECT_TRUE(c.control->isVisible());
      test::ExpectPlaced(*c.control, c.place, qobject_cast<QLabel*>(c.control) != nullptr);
      if (!c.caption) continue;
      if (auto* label = qobject_cast<QLabel*>(c.control)) {
        EXPECT_EQ(label->text(), c.caption);
      }
      if (auto* edit = qobject_cast<QLineEdit*>(c.control)) {
        EXPECT_EQ(edit->text(), c.caption);
      }
      if (auto* button = qobject_cast<QPushButton*>(c.control)) {
        EXPECT_EQ(button->text(), c.caption);
        EXPECT_FALSE(button->isDefault());
        EXPECT_FALSE(button->autoDefault());
      }
    }
  }
  EXPECT_EQ(d.windowTitle(), "Tunewell Editor for Simple Tunewell");
  EXPECT_NE(d.minimumSize(), d.maximumSize());
  EXPECT_TRUE(d.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(d.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(d.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_EQ(d.font().pointSize(), 9);
  EXPECT_EQ(d.font().families().value(0), "Segoe UI");
  const QImage icon = d.windowIcon().pixmap(32, 32).toImage();
  EXPECT_EQ(icon.size(), QSize(32, 32));
  EXPECT_NE(icon.pixel(8, 9), icon.pixel(0, 0));  // drawn, not blank
  EXPECT_EQ(d.ListBox1->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(d.ListBox1->visualItemRect(d.ListBox1->item(0)).height(), 15);
  EXPECT_EQ(d.ListBox1->visualItemRect(d.ListBox1->item(1)).top(),
            d.ListBox1->visualItemRect(d.ListBox1->item(0)).top() + 15);
}

// Catches a tab order other than the layout's.
TEST_F(RadioEditTest, TabOrder) {
  auto dialog = Open(StationFile(kThree));
  TRadioEdit& d = *dialog;
  const QList<QWidget*> expected = {d.Edit1,    d.Button1, d.Button2, d.Button3,
                                    d.ListBox1, d.Edit2,   d.Button4, d.Button5};
  QList<QWidget*> seen;
  QWidget* w = d.Edit1;
  for (int i = 0; i < 100 && seen.size() < expected.size(); ++i, w = w->nextInFocusChain()) {
    if (expected.contains(w) && !seen.contains(w)) seen.push_back(w);
  }
  EXPECT_EQ(seen, expected);
  for (QWidget* control : expected) {
    EXPECT_TRUE(control->focusPolicy() & Qt::TabFocus) << control->objectName().toStdString();
  }
}

// Catches opening with the edits filled (the opening selection must not run the
// click handler), the wrong row selected, or the focus elsewhere than the URL:
// typing there changes the second station.
TEST_F(RadioEditTest, OpensOnSecondRowWithFocusInUrl) {
  auto dialog = OpenShown(StationFile(kThree));
  TRadioEdit& d = *dialog;
  EXPECT_EQ(Names(d), Names(kThree));
  EXPECT_EQ(d.text, Urls(kThree));
  EXPECT_EQ(d.ListBox1->currentRow(), 1);
  EXPECT_EQ(SelectedRow(d), 1);
  EXPECT_EQ(d.Edit1->text(), "");
  EXPECT_EQ(d.Edit2->text(), "");
  EXPECT_EQ(QApplication::focusWidget(), d.Edit1);
  QTest::keyClicks(QApplication::focusWidget(), "x");
  EXPECT_EQ(d.text, (std::vector<std::string>{"http://a/", "x", "http://c/"}));
  EXPECT_TRUE(boxes.empty());
}

// Catches a short list selecting a row anyway: with fewer than two rows none is.
TEST_F(RadioEditTest, ShortListOpensWithoutSelection) {
  for (int n : {0, 1}) {
    auto dialog = Open(StationFile(NumberedStations(n)));
    EXPECT_EQ(dialog->ListBox1->count(), n);
    EXPECT_EQ(SelectedRow(*dialog), -1) << n;
  }
}

// Catches names and URLs loaded as two lists that fall out of step when a
// section has only one of them: the dialog pairs them as the main window does.
TEST_F(RadioEditTest, LoadsStationsPairedBySection) {
  auto dialog = Open(
      "[001]\r\nPath=http://only-url/\r\n[002]\r\nTitle=Only name\r\n[003]\r\n"
      "Title=Both\r\nPath=http://both/\r\n[004]\r\n[007]\r\nPath=http://seven/\r\n"
      "Title=Seven\r\n");
  const std::vector<Station> expected = LoadedStations(folder / "favorites.cfg");
  ASSERT_EQ(expected.size(), 4u);
  EXPECT_EQ(Names(*dialog), Names(expected));
  EXPECT_EQ(dialog->text, Urls(expected));
  EXPECT_EQ(dialog->text[3], "http://seven/");
  EXPECT_EQ(Names(*dialog)[3], "Seven");
}

// Catches a missing file taken as an error, or a save that cannot create it.
TEST_F(RadioEditTest, MissingFileStartsEmptyAndSaveCreatesIt) {
  TRadioEdit d(folder.path(), nullptr);
  EXPECT_EQ(d.ListBox1->count(), 0);
  EXPECT_TRUE(d.text.empty());
  EXPECT_TRUE(boxes.empty());
  d.Button1->click();
  d.Button3->click();
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(LoadedStations(folder / "favorites.cfg"),
            (std::vector<Station>{{"Name", "https://url"}}));
  EXPECT_FALSE(folder.Exists("favorites.cfg.bak"));
}

// Catches a selection by mouse or keyboard that does not show the station, and
// a click on the row selected at opening that shows nothing.
TEST_F(RadioEditTest, SelectingRowShowsStation) {
  struct {
    const char* how;
    void (*select)(TRadioEdit&);
    int row;
  } cases[] = {
      {"click", [](TRadioEdit& d) { ClickRow(d, 0); }, 0},
      {"click on the row selected at opening", [](TRadioEdit& d) { ClickRow(d, 1); }, 1},
      {"down arrow",
       [](TRadioEdit& d) {
         d.ListBox1->setFocus();
         QTest::keyClick(d.ListBox1, Qt::Key_Down);
       },
       2},
      {"tab into the list, then home",
       [](TRadioEdit& d) {
         d.Button3->setFocus();
         QTest::keyClick(d.Button3, Qt::Key_Tab);
         QTest::keyClick(QApplication::focusWidget(), Qt::Key_Home);
       },
       0},
  };
  for (const auto& c : cases) {
    auto dialog = OpenShown(StationFile(kThree));
    c.select(*dialog);
    EXPECT_EQ(SelectedRow(*dialog), c.row) << c.how;
    EXPECT_EQ(dialog->Edit1->text().toStdString(), kThree[c.row].url) << c.how;
    EXPECT_EQ(dialog->Edit2->text().toStdString(), kThree[c.row].name) << c.how;
    EXPECT_EQ(dialog->text, Urls(kThree)) << c.how;
  }
}

// Catches URL edits that are lost, applied to another station, or stored only
// on some later event: each keystroke lands in the selected station at once.
TEST_F(RadioEditTest, EveryKeystrokeStoresTheUrl) {
  auto dialog = OpenShown(StationFile(kThree));
  TRadioEdit& d = *dialog;
  ClickRow(d, 2);
  d.Edit1->setFocus();
  d.Edit1->end(false);
  QTest::keyClick(d.Edit1, 's');
  EXPECT_EQ(d.text[2], "http://c/s");
  QTest::keyClick(d.Edit1, Qt::Key_Backspace);
  QTest::keyClick(d.Edit1, Qt::Key_Backspace);
  EXPECT_EQ(d.text[2], "http://c");
  d.Edit1->clear();
  EXPECT_EQ(d.text, (std::vector<std::string>{"http://a/", "http://b/", ""}));
  // Enter saves nothing and closes nothing: no button is the default.
  QTest::keyClick(d.Edit1, Qt::Key_Return);
  EXPECT_TRUE(d.isVisible());
  EXPECT_EQ(d.ListBox1->count(), 3);
  EXPECT_EQ(folder.Read("favorites.cfg"), StationFile(kThree));
  // Switching rows shows the other station and leaves this one's new URL.
  ClickRow(d, 0);
  EXPECT_EQ(d.Edit1->text(), "http://a/");
  EXPECT_EQ(d.text, (std::vector<std::string>{"http://a/", "http://b/", ""}));
}

// Catches Add changing the selection or the edits, and Save writing the added
// stations wrongly or not at all.
TEST_F(RadioEditTest, AddTwiceThenSave) {
  folder.Write("favorites.cfg", std::string(test::kCommentSection) + StationFile(kThree));
  TRadioEdit d(folder.path(), nullptr);
  ClickRow(d, 0);
  d.Edit2->setText("typed, not applied");
  d.Button1->click();
  d.Button1->click();
  EXPECT_EQ(SelectedRow(d), 0);
  EXPECT_EQ(d.Edit1->text(), "http://a/");
  EXPECT_EQ(d.Edit2->text(), "typed, not applied");
  EXPECT_EQ(Names(d), (std::vector<std::string>{"Alpha", "Beta", "Gamma & Co", "Name", "Name"}));
  d.Button3->click();
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_TRUE(boxes.empty());

  const std::string saved = folder.Read("favorites.cfg");
  EXPECT_EQ(SectionNames(saved),
            (std::vector<std::string>{"Comment", "001", "002", "003", "004", "005"}));
  // The comment lines of the import are kept as they were.
  EXPECT_EQ(saved.substr(0, std::string(test::kCommentSection).size()), test::kCommentSection);
  const IniFile file(folder / "favorites.cfg");
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(file.ReadString(StationSection(i), "AudioNum", ""), "1") << i;
  }
  for (const char* section : {"004", "005"}) {
    EXPECT_EQ(file.ReadString(section, "Title", ""), "Name");
    EXPECT_EQ(file.ReadString(section, "Path", ""), "https://url");
  }
  EXPECT_EQ(file.ReadString("003", "Title", ""), "Gamma & Co");
}

// Catches removed stations coming back: saving a list shortened from five to
// three leaves sections 001 to 003 only, whether or not a backup exists, and
// the backup is made once and never replaced.
TEST_F(RadioEditTest, ShortenedListSavesExactly) {
  const std::string five = StationFile(NumberedStations(5));
  for (const bool backupPresent : {false, true}) {
    SCOPED_TRACE(backupPresent ? "backup present" : "no backup");
    TempFolder here;
    here.Write("favorites.cfg", five);
    if (backupPresent) here.Write("favorites.cfg.bak", "earlier backup");
    {
      TRadioEdit d(here.path(), nullptr);
      ClickRow(d, 4);
      d.Button2->click();
      ClickRow(d, 3);
      d.Button2->click();
      d.Button3->click();
      EXPECT_EQ(d.result(), QDialog::Accepted);
    }
    EXPECT_EQ(SectionNames(here.Read("favorites.cfg")),
              (std::vector<std::string>{"001", "002", "003"}));
    const std::string backup = backupPresent ? "earlier backup" : five;
    EXPECT_EQ(here.Read("favorites.cfg.bak"), backup);

    TRadioEdit again(here.path(), nullptr);
    EXPECT_EQ(Names(again), Names(NumberedStations(3)));
    EXPECT_EQ(again.text, Urls(NumberedStations(3)));
    again.Button1->click();
    again.Button3->click();
    EXPECT_EQ(here.Read("favorites.cfg.bak"), backup);
    EXPECT_EQ(LoadedStations(here / "favorites.cfg").size(), 4u);
  }
}

// Catches the old last station being left in its section and listed twice
// after removing the first of three; also Remove moving the selection onto a
// neighbour and showing it in the edits.
TEST_F(RadioEditTest, RemoveFirstOfThree) {
  folder.Write("favorites.cfg.bak", "earlier backup");
  auto dialog = OpenShown(StationFile(kThree));
  TRadioEdit& d = *dialog;
  ClickRow(d, 0);
  d.Button2->click();
  EXPECT_EQ(SelectedRow(d), -1);
  EXPECT_EQ(d.ListBox1->currentRow(), -1);
  EXPECT_EQ(d.Edit1->text(), "http://a/");
  EXPECT_EQ(d.Edit2->text(), "Alpha");
  EXPECT_EQ(Names(d), (std::vector<std::string>{"Beta", "Gamma & Co"}));
  EXPECT_EQ(d.text, (std::vector<std::string>{"http://b/", "http://c/"}));
  d.Button3->click();
  EXPECT_EQ(LoadedStations(folder / "favorites.cfg"), (std::vector<Station>{kThree[1], kThree[2]}));
}

// Catches Cancel in the name prompt blanking the name, OK not renaming, the
// selection moving, or the prompt asking the wrong thing.
TEST_F(RadioEditTest, DoubleClickRenames) {
  struct {
    std::optional<QString> answer;
    const char* name;
  } cases[] = {{std::nullopt, "Gamma & Co"}, {"Radio Gaga", "Radio Gaga"}, {"", ""}};
  for (const auto& c : cases) {
    const std::string what = c.answer ? c.answer->toStdString() : "Cancel";
    prompts.clear();
    answers = {c.answer};
    auto dialog = OpenShown(StationFile(kThree));
    TRadioEdit& d = *dialog;
    DoubleClickRow(d, 2);
    ASSERT_EQ(prompts.size(), 1u) << what;
    EXPECT_EQ(prompts[0].caption, "Change the name of the radio");
    EXPECT_EQ(prompts[0].prompt, "Enter the new name");
    EXPECT_EQ(prompts[0].initial, "Gamma & Co");
    EXPECT_EQ(prompts[0].owner, &d);
    EXPECT_EQ(d.ListBox1->item(2)->text(), c.name) << what;
    EXPECT_EQ(d.Edit2->text(), c.name) << what;
    EXPECT_EQ(SelectedRow(d), 2) << what;
    EXPECT_EQ(d.text, Urls(kThree)) << what;
    d.Button3->click();
    const IniFile file(folder / "favorites.cfg");
    EXPECT_EQ(file.ReadString("003", "Title", "<none>"), c.name) << what;
    EXPECT_EQ(file.ReadString("003", "Path", "<none>"), "http://c/") << what;
  }
}

// Catches "Change name" not applying Edit2, applying it to another row, or a
// cleared name taking its station's URL with it at the save (the loader then
// pairs every later name with the wrong URL).
TEST_F(RadioEditTest, ChangeNameAndEmptyNameKeepsUrl) {
  auto dialog = OpenShown(StationFile(kThree));
  TRadioEdit& d = *dialog;
  ClickRow(d, 0);
  d.Edit2->setText("New Alpha");
  EXPECT_EQ(d.ListBox1->item(0)->text(), "Alpha");  // not before the button
  d.Button4->click();
  EXPECT_EQ(d.ListBox1->item(0)->text(), "New Alpha");
  EXPECT_EQ(SelectedRow(d), 0);

  ClickRow(d, 1);
  d.Edit2->clear();
  d.Button4->click();
  EXPECT_EQ(Names(d), (std::vector<std::string>{"New Alpha", "", "Gamma & Co"}));
  d.Button3->click();
  EXPECT_EQ(d.result(), QDialog::Accepted);
  const IniFile file(folder / "favorites.cfg");
  EXPECT_EQ(file.ReadString("002", "Path", ""), "http://b/");
  EXPECT_EQ(file.ReadString("002", "Title", "<none>"), "");
  EXPECT_EQ(
      LoadedStations(folder / "favorites.cfg"),
      (std::vector<Station>{{"New Alpha", "http://a/"}, {"http://b/", "http://b/"}, kThree[2]}));
}

// Catches a row handler acting on a row nobody selected (after Remove, in a
// list opened with one row, or after Ctrl+click took the selection away while
// the row stays current): it must do nothing.
TEST_F(RadioEditTest, NothingSelectedNothingChanges) {
  struct {
    const char* what;
    void (*act)(TRadioEdit&);
  } cases[] = {
      {"type a URL", [](TRadioEdit& d) { QTest::keyClicks(d.Edit1, "typed"); }},
      {"remove", [](TRadioEdit& d) { d.Button2->click(); }},
      {"change name",
       [](TRadioEdit& d) {
         d.Edit2->setText("Renamed");
         d.Button4->click();
       }},
      {"double-click below the rows",
       [](TRadioEdit& d) { DoubleClickAt(d, QPoint(20, d.ListBox1->viewport()->height() - 5)); }},
  };
  struct {
    const char* how;
    int stations;
    void (*unselect)(TRadioEdit&);
  } starts[] = {
      {"after Remove", 4,
       [](TRadioEdit& d) {
         ClickRow(d, 3);
         d.Button2->click();
       }},
      {"in a one-row list", 1, [](TRadioEdit&) {}},
      {"after Ctrl+click", 3,
       [](TRadioEdit& d) {
         QTest::mouseClick(d.ListBox1->viewport(), Qt::LeftButton, Qt::ControlModifier,
                           RowCentre(d, 1));
       }},
  };
  for (const auto& c : cases) {
    for (const auto& start : starts) {
      SCOPED_TRACE(std::string(c.what) + " " + start.how);
      auto dialog = OpenShown(StationFile(NumberedStations(start.stations)));
      TRadioEdit& d = *dialog;
      start.unselect(d);
      ASSERT_EQ(SelectedRow(d), -1);
      const std::vector<std::string> names = Names(d);
      const std::vector<std::string> urls = d.text;
      c.act(d);
      EXPECT_EQ(Names(d), names);
      EXPECT_EQ(d.text, urls);
      EXPECT_TRUE(prompts.empty());
      // The list is as it was: saving writes exactly those stations.
      d.Button3->click();
      EXPECT_EQ(Names(LoadedStations(folder / "favorites.cfg")), names);
    }
  }
}

// Catches a close that writes anything or leaves a backup: every way out but
// Save drops the changes and leaves the file byte for byte.
TEST_F(RadioEditTest, CloseWritesNothing) {
  struct {
    const char* how;
    void (*close)(TRadioEdit&);
    bool closes;
  } cases[] = {
      {"Close button", [](TRadioEdit& d) { d.Button5->click(); }, true},
      {"close box", [](TRadioEdit& d) { d.windowHandle()->close(); }, true},
      // No cancel button: Escape must not throw the changes away.
      {"Escape", [](TRadioEdit& d) { QTest::keyClick(d.ListBox1, Qt::Key_Escape); }, false},
  };
  const std::string bytes = std::string(test::kCommentSection) + StationFile(kThree);
  for (const auto& c : cases) {
    auto dialog = OpenShown(bytes);
    TRadioEdit& d = *dialog;
    d.Button1->click();
    ClickRow(d, 0);
    QTest::keyClicks(d.Edit1, "/changed");
    d.Edit2->setText("Renamed");
    d.Button4->click();
    ClickRow(d, 1);
    d.Button2->click();
    c.close(d);
    EXPECT_EQ(d.isVisible(), !c.closes) << c.how;
    EXPECT_NE(d.result(), QDialog::Accepted) << c.how;
    EXPECT_EQ(folder.Read("favorites.cfg"), bytes) << c.how;
    EXPECT_EQ(FolderEntries(folder.path()), (std::vector<std::string>{"favorites.cfg"}));
  }
}

// Catches a failed save that closes the dialog (losing the edits), reports
// nothing, names no file, or leaves the old list damaged or gone.
TEST_F(RadioEditTest, FailedSaveKeepsDialogAndOldFile) {
  enum class Failure { FullDisk, ReadOnlyFolder };
  const std::string bytes = StationFile(kThree);
  for (const Failure failure : {Failure::FullDisk, Failure::ReadOnlyFolder}) {
    const char* what = failure == Failure::FullDisk ? "full disk" : "read-only folder";
    SCOPED_TRACE(what);
    TempFolder here;
    here.Write("favorites.cfg", bytes);
    boxes.clear();
    auto dialog = std::make_unique<TRadioEdit>(here.path(), nullptr);
    TRadioEdit& d = *dialog;
    d.show();
    for (int i = 0; i < 10; ++i) d.Button1->click();
    if (failure == Failure::FullDisk) {
      test::FileSizeLimit full(bytes.size() + 8);
      ASSERT_TRUE(full.active());
      d.Button3->click();
    } else {
      test::ReadOnlyFolder readOnly(here.path());
      ASSERT_TRUE(readOnly.effective());
      d.Button3->click();
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].icon, BoxIcon::Error);
    EXPECT_EQ(boxes[0].owner, &d);
    EXPECT_TRUE(boxes[0].text.contains(QString::fromStdString((here / "favorites.cfg").string())))
        << boxes[0].text.toStdString();
    EXPECT_TRUE(d.isVisible());
    EXPECT_NE(d.result(), QDialog::Accepted);
    EXPECT_EQ(here.Read("favorites.cfg"), bytes);
    for (const std::string& name : FolderEntries(here.path())) {
      EXPECT_TRUE(name == "favorites.cfg" || name == "favorites.cfg.bak") << name;
    }
    EXPECT_EQ(d.ListBox1->count(), 13);

    // Once the cause is gone the same dialog saves its edits.
    d.Button3->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(LoadedStations(here / "favorites.cfg").size(), 13u);
    EXPECT_EQ(here.Read("favorites.cfg.bak"), bytes);
  }
}

// Catches the modal editor left alive after it closes (each opening must be a
// fresh dialog) or a save that does not reach the file before it returns.
TEST_F(RadioEditTest, OpenStationEditorRunsModallyAndDestroysTheDialog) {
  struct {
    const char* how;
    void (*close)(TRadioEdit&);
    size_t stationsAfter;
  } cases[] = {
      {"Close", [](TRadioEdit& d) { d.Button5->click(); }, 3},
      {"close box", [](TRadioEdit& d) { d.close(); }, 3},
      {"Save",
       [](TRadioEdit& d) {
         d.Button1->click();
         d.Button3->click();
       },
       4},
  };
  for (const auto& c : cases) {
    folder.Write("favorites.cfg", StationFile(kThree));
    QWidget owner;
    owner.setGeometry(100, 80, 575, 438);
    owner.show();
    QPointer<TRadioEdit> seen;
    bool modal = false;
    QPoint centre;
    QTimer::singleShot(0, [&] {
      seen = qobject_cast<TRadioEdit*>(QApplication::activeModalWidget());
      ASSERT_TRUE(seen);
      modal = seen->isModal() && seen->isVisible() && seen->parentWidget() == &owner;
      centre = seen->geometry().center();
      c.close(*seen);
    });
    OpenStationEditor(&owner, folder.path());
    EXPECT_TRUE(modal) << c.how;
    // Centred over the main window.
    EXPECT_LE((centre - owner.geometry().center()).manhattanLength(), 2) << c.how;
    EXPECT_TRUE(seen.isNull()) << c.how;
    EXPECT_TRUE(owner.findChildren<TRadioEdit*>().isEmpty()) << c.how;
    EXPECT_EQ(LoadedStations(folder / "favorites.cfg").size(), c.stationsAfter) << c.how;
  }
}

// Catches a second delete (or a use after free) when the owner goes while the
// editor runs, taking its child dialog with it.
TEST_F(RadioEditTest, OwnerGoneWhileEditorRuns) {
  folder.Write("favorites.cfg", StationFile(kThree));
  QPointer<QWidget> owner = new QWidget;
  QTimer::singleShot(0, [&] { delete owner.data(); });
  OpenStationEditor(owner, folder.path());
  EXPECT_TRUE(owner.isNull());
  EXPECT_EQ(folder.Read("favorites.cfg"), StationFile(kThree));
}

}  // namespace
}  // namespace tw
