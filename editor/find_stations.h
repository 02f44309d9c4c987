// "Find stations": the public station directory, searched from the station
// editor. Found stations go into the editor's list through the editor's own
// add (nothing is written before its Save); Listen plays one as a preview.
// Searches and previews run on threads of their own; their results come back
// to the UI thread as queued calls, and a window that closed ignores them.
#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "editor/station_preview.h"
#include "stations/directory_client.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace tw {

struct FinderHost {
  // Appends the station to the editor's list; false when it was not added
  // (the user declined a duplicate).
  std::function<bool(const QString& name, const std::string& url)> add;
  DirectoryOptions options;
  float volume = 1;  // of the preview, 0 to 1
};

class FindStationsDialog : public QDialog {
  Q_OBJECT

 public:
  FindStationsDialog(FinderHost host, QWidget* parent);
  ~FindStationsDialog() override;

  QLineEdit* NameEdit;
  QLineEdit* TagEdit;
  QLineEdit* CountryEdit;
  QLineEdit* LanguageEdit;
  QPushButton* SearchButton;
  QTableWidget* Results;
  QLabel* StatusText;
  QPushButton* AddButton;
  QPushButton* ListenButton;
  QPushButton* MoreButton;
  QPushButton* CancelButton;
  QPushButton* CloseButton;

  // The stations in the table, row by row.
  const std::vector<FoundStation>& stations() const { return stations_; }

  void done(int result) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void Search();
  void More();
  void StartSearch(const DirectoryQuery& query);
  void CancelSearch();
  void SearchDone(int ticket, const DirectoryAnswer& answer);
  void AppendRows(const std::vector<FoundStation>& page);
  void AddSelected();
  void ToggleListen();
  void PreviewDone(int preview, int error);
  void SelectionChanged();
  void UpdateButtons();
  void Say(const QString& text);
  int SelectedRow() const;

  FinderHost host_;
  std::vector<FoundStation> stations_;
  std::unordered_set<std::string> shownKeys_;
  DirectoryQuery lastQuery_;     // of the last page shown
  DirectoryQuery pendingQuery_;  // of the search under way
  bool moreAvailable_ = false;
  std::string server_;  // the server that answered, for the click counter
  int ticket_ = 0;      // the search whose answer is awaited; older ones are dropped
  std::shared_ptr<std::atomic<bool>> cancel_;  // of the running search; null when none
  StationPreview preview_;
  int previewNumber_ = 0;  // the preview started last; 0: none
  int previewRow_ = -1;
};

}  // namespace tw
