#include "app/song_keeping.h"

#include <QAbstractItemView>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QWidget>
#include <array>
#include <chrono>

#include "app/player_controls.h"
#include "app/sleep_timer_shell.h"
#include "app/song_history_dialog.h"
#include "app/song_history_writer.h"
#include "app/song_saver.h"
#include "platform/atomic_file.h"

namespace tw {

namespace {

constexpr std::array kSleepMinutes = {15, 30, 45, 60, 90, 120};

QString Quoted(const QString& title) { return "\"" + title + "\""; }

}  // namespace

SongKeeping::SongKeeping(PlayerControls& player, QWidget& window, QWidget& panel,
                         const std::filesystem::path& folder, std::function<HSTREAM()> stream)
    : player_(player), window_(window), panel_(panel) {
  // A write killed half-way leaves its temporary file; a minute old, no write
  // still makes it.
  RemoveStaleTemporaries(folder, {kSongHistoryFileName}, std::chrono::minutes(1));
  const std::filesystem::path path = folder / kSongHistoryFileName;
  history_.Assign(ReadSongHistoryFile(path));
  writer_ = std::make_unique<SongHistoryWriter>(path);
  saver_ = std::make_unique<SongSaver>(player_, std::move(stream));
  sleep_ = std::make_unique<SleepTimerShell>(player_);
  connect(
      saver_.get(), &SongSaver::Finished, this,
      [this](bool ok, const QString& title, const QString& message) { Saved(ok, title, message); });
  connect(&player_.Signals(), &PlayerSignals::TitleShown, this, [this] { TitleShown(); });
  connect(&player_.Signals(), &PlayerSignals::StationStarting, this,
          [this] { recordedThisStation_ = false; });

  // The right button anywhere on the panel; the Menu key or Shift+F10 once one
  // of its lines has focus (a click gives it; Tab still passes them by).
  panel_.setContextMenuPolicy(Qt::CustomContextMenu);
  for (QLabel* line : panel_.findChildren<QLabel*>()) {
    line->setFocusPolicy(Qt::ClickFocus);
    line->installEventFilter(this);
  }
  connect(&panel_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopUpMenu(panel_.mapToGlobal(at)); });

  auto* copy = new QShortcut(QKeySequence::Copy, &window_);
  connect(copy, &QShortcut::activated, this, [this] {
    // The station list copies its own row, as it would without this shortcut.
    auto* view = qobject_cast<QAbstractItemView*>(QApplication::focusWidget());
    if (view && view->selectionModel() && view->selectionModel()->hasSelection()) {
      QApplication::clipboard()->setText(view->currentIndex().data().toString());
      return;
    }
    CopyTitle();
  });
  auto* save = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_S), &window_);
  connect(save, &QShortcut::activated, this, [this] { SaveShown(); });
  auto* history = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), &window_);
  connect(history, &QShortcut::activated, this, [this] { ShowHistory(); });
}

SongKeeping::~SongKeeping() {
  // The dialog reads the history and the saver: it goes first.
  delete dialog_.data();
  saver_.reset();
  sleep_.reset();
  writer_.reset();
}

void SongKeeping::TitleShown() {
  const std::string title = player_.SongTitle().toStdString();
  const std::string station = player_.StationShown().toStdString();
  // A title that came while the list's name stood in for the station's own is
  // the same song once the station has named itself.
  const bool renamed = recordedThisStation_ && history_.Restation(title, station);
  if (!renamed) {
    if (!history_.Add(SongEntryNow(station, title))) return;
    recordedThisStation_ = true;
  }
  writer_->Post(history_.entries());
  if (dialog_) dialog_->Refresh();
}

void SongKeeping::CopyTitle() {
  const QString title = player_.SongTitle();
  if (!title.isEmpty()) QApplication::clipboard()->setText(title);
}

void SongKeeping::SaveShown() { SaveSong(player_.SongTitle()); }

void SongKeeping::SaveSong(const QString& title) {
  if (title.isEmpty()) return;
  if (!saver_->Save(title)) {
    ShowBox(false, "Could not save " + Quoted(title) + ": it is no longer kept.");
  }
}

void SongKeeping::ShowHistory() {
  if (!dialog_) dialog_ = new SongHistoryDialog(history_, *saver_, &window_);
  dialog_->show();
  dialog_->raise();
  dialog_->activateWindow();
}

void SongKeeping::Saved(bool ok, const QString& title, const QString& message) {
  const QString text = ok ? "Saved " + Quoted(title) + " as " + message
                          : "Could not save " + Quoted(title) + ": " + message;
  if (dialog_) dialog_->ShowLine(text);
  ShowBox(ok, text);
}

// Not modal: a song saved when it ended may finish while nobody looks, and the
// player must not wait for an OK meanwhile.
void SongKeeping::ShowBox(bool ok, const QString& text) {
  auto* box = new QMessageBox(ok ? QMessageBox::Information : QMessageBox::Warning, "Tunewell",
                              text, QMessageBox::Ok, &window_);
  box->setObjectName("SaveResult");
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->show();
}

bool SongKeeping::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<QKeyEvent*>(event);
  const bool menuKey = key->key() == Qt::Key_Menu && key->modifiers() == Qt::NoModifier;
  const bool shiftF10 = key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier;
  if (!menuKey && !shiftF10) return false;
  auto* line = static_cast<QWidget*>(watched);
  PopUpMenu(line->mapToGlobal(QPoint(line->width() / 2, line->height() / 2)));
  return true;
}

void SongKeeping::PopUpMenu(QPoint globalPos) {
  QMenu* menu = MakeMenu(&panel_);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(globalPos);
}

QMenu* SongKeeping::MakeMenu(QWidget* parent) {
  auto* menu = new QMenu(parent);
  menu->setObjectName("SongMenu");
  const QString title = player_.SongTitle();

  QAction* copy = menu->addAction("&Copy title\tCtrl+C", this, [this] { CopyTitle(); });
  copy->setEnabled(!title.isEmpty());

  const SongOffer offer = saver_->OfferFor(title);
  QString saveText = "&Save this song";
  if (offer.fromMs >= 0) {
    saveText += " from " + QDateTime::fromMSecsSinceEpoch(offer.fromMs).toString("HH:mm:ss");
  }
  if (offer.whenItEnds) saveText += " when it ends";
  QAction* save = menu->addAction(saveText + "\tCtrl+S", this, [this, title] { SaveSong(title); });
  save->setEnabled(offer.kept && !saver_->Waiting());

  menu->addAction("Song &history...\tCtrl+H", this, [this] { ShowHistory(); });
  menu->addSeparator();
  AddSleepMenu(menu);
  return menu;
}

void SongKeeping::AddSleepMenu(QMenu* menu) {
  using Mode = SleepTimer::Mode;
  const Mode mode = sleep_->mode();
  QString heading = "S&leep timer";
  if (mode == Mode::Minutes) {
    const int left = sleep_->MinutesLeft();
    heading += QString(" (%1 minute%2 left)").arg(left).arg(left == 1 ? "" : "s");
  } else if (mode == Mode::SongEnd) {
    heading += " (at the end of this song)";
  } else if (mode == Mode::Fading) {
    heading += " (fading out)";
  }
  QMenu* sleep = menu->addMenu(heading);
  sleep->setObjectName("SleepMenu");
  auto* group = new QActionGroup(sleep);
  auto add = [&](const QString& text, bool checked, auto run) {
    QAction* action = sleep->addAction(text, this, run);
    action->setCheckable(true);
    action->setChecked(checked);
    group->addAction(action);
    return action;
  };
  add("&Off", mode == Mode::Off, [this] { sleep_->Cancel(); });
  for (int minutes : kSleepMinutes) {
    add(QString("%1 minutes").arg(minutes), false, [this, minutes] { sleep_->Start(minutes); });
  }
  QAction* songEnd =
      add("At the &end of this song", mode == Mode::SongEnd, [this] { sleep_->StartAtSongEnd(); });
  songEnd->setEnabled(!player_.SongTitle().isEmpty() || mode == Mode::SongEnd);
}

}  // namespace tw
