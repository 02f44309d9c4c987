// The "Song history" window: time, station and title of every song shown,
// newest first, with a filter; Copy, Search the web, and Save for songs whose
// audio is still kept. Modeless: the player goes on while it is open.
#pragma once

#include <QDialog>
#include <functional>

#include "app/song_history.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace tw {

class SongSaver;

// The web search a title opens.
QUrl WebSearchUrl(const QString& title);

class SongHistoryDialog : public QDialog {
 public:
  SongHistoryDialog(const SongHistory& history, SongSaver& saver, QWidget* parent);

  // Reads the history again (a song was added).
  void Refresh();
  // A line under the list: how the last save went.
  void ShowLine(const QString& text);

  QLineEdit* filter() const { return filter_; }
  QTreeWidget* list() const { return list_; }

 private:
  const SongEntry* Selected() const;
  void UpdateButtons();
  void Copy();
  void Search();
  void Save();

  const SongHistory& history_;
  SongSaver& saver_;
  QLineEdit* filter_;
  QTreeWidget* list_;
  QPushButton* copy_;
  QPushButton* search_;
  QPushButton* save_;
  QLabel* line_;
};

}  // namespace tw
