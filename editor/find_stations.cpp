#include "editor/find_stations.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <thread>

#include "ui/window_font.h"
#include "ui/window_helpers.h"

namespace tw {

namespace {

using ui::FromUtf8;

enum Column { kName, kCountry, kCodec, kBitRate, kTags, kVotes, kColumns };

// Runs fn on the UI thread later, unless the finder has gone by then. Called
// from worker threads: the QPointer is only read on the UI thread.
template <typename Fn>
void PostToFinder(QPointer<FindStationsDialog> finder, Fn fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  QMetaObject::invokeMethod(
      app,
      [finder, fn] {
        if (finder) fn(finder.data());
      },
      Qt::QueuedConnection);
}

QLineEdit* LabelledEdit(QWidget* parent, QGridLayout* grid, int row, int column,
                        const char* caption, const char* name, const char* accessibleName) {
  auto* label = new QLabel(caption, parent);
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setAccessibleName(accessibleName);
  label->setBuddy(edit);
  grid->addWidget(label, row, column);
  grid->addWidget(edit, row, column + 1);
  return edit;
}

QPushButton* Button(QWidget* parent, const char* caption, const char* name) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  // Enter belongs to the search fields and the table, never to a default button.
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

std::string Trimmed(const QLineEdit* edit) { return edit->text().trimmed().toStdString(); }

}  // namespace

FindStationsDialog::FindStationsDialog(FinderHost host, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      host_(std::move(host)),
      preview_([finder = QPointer<FindStationsDialog>(this)](int preview, int error) {
        PostToFinder(finder,
                     [preview, error](FindStationsDialog* f) { f->PreviewDone(preview, error); });
      }) {
  setObjectName("FindStations");
  setWindowTitle("Find stations");
  setFont(WindowFont());
  CreateControls();
  resize(760, 480);
  UpdateButtons();
  NameEdit->setFocus();
}

FindStationsDialog::~FindStationsDialog() {
  if (cancel_) cancel_->store(true);
}

void FindStationsDialog::CreateControls() {
  auto* fields = new QGridLayout;
  NameEdit = LabelledEdit(this, fields, 0, 0, "&Name:", "NameEdit", "Station name");
  SearchButton = Button(this, "&Search", "SearchButton");
  fields->addWidget(SearchButton, 0, 6);
  TagEdit = LabelledEdit(this, fields, 1, 0, "&Tag:", "TagEdit", "Tag");
  CountryEdit = LabelledEdit(this, fields, 1, 2, "C&ountry:", "CountryEdit", "Country");
  LanguageEdit = LabelledEdit(this, fields, 1, 4, "Lan&guage:", "LanguageEdit", "Language");
  // The name field spans the row above the three optional ones.
  fields->addWidget(NameEdit, 0, 1, 1, 5);
  for (QLineEdit* edit : {NameEdit, TagEdit, CountryEdit, LanguageEdit}) {
    connect(edit, &QLineEdit::returnPressed, this, [this] { Search(); });
  }

  Results = new QTableWidget(0, kColumns, this);
  Results->setObjectName("Results");
  Results->setAccessibleName("Found stations");
  Results->setHorizontalHeaderLabels({"Name", "Country", "Codec", "Bit rate", "Tags", "Votes"});
  Results->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Results->setSelectionBehavior(QAbstractItemView::SelectRows);
  Results->setSelectionMode(QAbstractItemView::SingleSelection);
  // Tab leaves the table for the buttons, so the flow needs no mouse.
  Results->setTabKeyNavigation(false);
  Results->setWordWrap(false);
  Results->verticalHeader()->hide();
  Results->verticalHeader()->setDefaultSectionSize(Results->fontMetrics().height() + 6);
  const int widths[kColumns] = {220, 110, 60, 70, 170, 80};
  for (int c = 0; c < kColumns; ++c) Results->setColumnWidth(c, widths[c]);
  Results->horizontalHeader()->setStretchLastSection(true);
  Results->installEventFilter(this);
  connect(Results, &QAbstractItemView::doubleClicked, this, [this] { AddSelected(); });
  connect(Results, &QTableWidget::itemSelectionChanged, this, [this] { SelectionChanged(); });

  StatusText = new QLabel(this);
  StatusText->setObjectName("StatusText");
  StatusText->setTextFormat(Qt::PlainText);
  StatusText->setAccessibleDescription("Search state");

  AddButton = Button(this, "&Add", "AddButton");
  ListenButton = Button(this, "&Listen", "ListenButton");
  ListenButton->setCheckable(true);
  MoreButton = Button(this, "&More results", "MoreButton");
  CancelButton = Button(this, "Cancel", "CancelButton");
  CancelButton->setAccessibleDescription("Stops the search");
  CloseButton = Button(this, "&Close", "CloseButton");
  connect(SearchButton, &QPushButton::clicked, this, [this] { Search(); });
  connect(AddButton, &QPushButton::clicked, this, [this] { AddSelected(); });
  connect(ListenButton, &QPushButton::clicked, this, [this] { ToggleListen(); });
  connect(MoreButton, &QPushButton::clicked, this, [this] { More(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelSearch(); });
  connect(CloseButton, &QPushButton::clicked, this, [this] { reject(); });

  auto* buttons = new QHBoxLayout;
  for (QPushButton* button : {AddButton, ListenButton, MoreButton, CancelButton}) {
    buttons->addWidget(button);
  }
  buttons->addStretch();
  buttons->addWidget(CloseButton);

  auto* page = new QVBoxLayout(this);
  page->addLayout(fields);
  page->addWidget(Results, 1);
  page->addWidget(StatusText);
  page->addLayout(buttons);

  QWidget* order[] = {NameEdit,  SearchButton, TagEdit,    CountryEdit,  LanguageEdit, Results,
                      AddButton, ListenButton, MoreButton, CancelButton, CloseButton};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

void FindStationsDialog::Say(const QString& text) { StatusText->setText(text); }

int FindStationsDialog::SelectedRow() const {
  const QList<QTableWidgetItem*> selected = Results->selectedItems();
  if (selected.isEmpty()) return -1;
  const int row = selected.front()->row();
  return static_cast<std::size_t>(row) < stations_.size() ? row : -1;
}

void FindStationsDialog::UpdateButtons() {
  const int row = SelectedRow();
  const bool usable = row >= 0 && !stations_[static_cast<std::size_t>(row)].url.empty();
  AddButton->setEnabled(usable);
  ListenButton->setEnabled(usable || ListenButton->isChecked());
  const bool searching = cancel_ != nullptr;
  CancelButton->setEnabled(searching);
  MoreButton->setEnabled(!searching && moreAvailable_);
}

void FindStationsDialog::Search() {
  DirectoryQuery query;
  query.name = Trimmed(NameEdit);
  query.tag = Trimmed(TagEdit);
  query.country = Trimmed(CountryEdit);
  query.language = Trimmed(LanguageEdit);
  {
    const QSignalBlocker quiet(Results);
    Results->setRowCount(0);
  }
  stations_.clear();
  shownKeys_.clear();
  moreAvailable_ = false;
  SelectionChanged();
  StartSearch(query);
}

void FindStationsDialog::More() {
  if (!moreAvailable_ || cancel_) return;
  DirectoryQuery query = lastQuery_;
  query.offset += query.limit;
  StartSearch(query);
}

void FindStationsDialog::StartSearch(const DirectoryQuery& query) {
  if (cancel_) cancel_->store(true);
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  pendingQuery_ = query;
  const int ticket = ++ticket_;
  Say("searching...");
  UpdateButtons();
  std::thread([finder = QPointer<FindStationsDialog>(this), options = host_.options, query,
               cancel = cancel_, ticket] {
    auto answer = std::make_shared<const DirectoryAnswer>(SearchDirectory(options, query, *cancel));
    PostToFinder(finder,
                 [ticket, answer](FindStationsDialog* f) { f->SearchDone(ticket, *answer); });
  }).detach();
}

void FindStationsDialog::CancelSearch() {
  if (!cancel_) return;
  cancel_->store(true);
  cancel_.reset();
  ++ticket_;
  Say("Search cancelled");
  UpdateButtons();
}

void FindStationsDialog::SearchDone(int ticket, const DirectoryAnswer& answer) {
  if (ticket != ticket_) return;  // cancelled, or replaced by a newer search
  cancel_.reset();
  if (answer.status != DirectoryStatus::kOk) {
    Say(FromUtf8(answer.message));
    UpdateButtons();
    return;
  }
  // "More results" goes on from the last page that came.
  lastQuery_ = pendingQuery_;
  // Later searches and "More results" start at the server that answered.
  host_.options.knownServers = answer.servers;
  if (!answer.servers.empty()) server_ = answer.servers.front();
  moreAvailable_ = answer.page.entries >= static_cast<std::size_t>(lastQuery_.limit);
  const bool first = stations_.empty();
  AppendRows(answer.page.stations);
  if (stations_.empty()) {
    Say("No stations found");
  } else {
    Say(QString("%1 stations").arg(stations_.size()) +
        (moreAvailable_ ? QString("; \"More results\" shows the next %1").arg(lastQuery_.limit)
                        : QString()));
    if (first) Results->selectRow(0);
  }
  UpdateButtons();
}

void FindStationsDialog::AppendRows(const std::vector<FoundStation>& page) {
  const QColor grey = palette().color(QPalette::Disabled, QPalette::Text);
  const std::size_t first = stations_.size();
  for (const FoundStation& station : page) {
    if (shownKeys_.insert(StationKey(station)).second) stations_.push_back(station);
  }
  // The directory sorts by votes; a mirror that does not still shows a sorted page.
  std::stable_sort(stations_.begin() + static_cast<std::ptrdiff_t>(first), stations_.end(),
                   [](const FoundStation& a, const FoundStation& b) { return a.votes > b.votes; });
  // One insertion for the page: row by row, the view lays itself out each time.
  Results->setUpdatesEnabled(false);
  Results->setRowCount(static_cast<int>(stations_.size()));
  for (std::size_t i = first; i < stations_.size(); ++i) {
    const FoundStation& station = stations_[i];
    const int row = static_cast<int>(i);
    const QString texts[kColumns] = {
        FromUtf8(station.name),  FromUtf8(station.country),
        FromUtf8(station.codec), FromUtf8(BitRateText(station.bitrate)),
        FromUtf8(station.tags),  QString::number(station.votes)};
    for (int c = 0; c < kColumns; ++c) {
      auto* item = new QTableWidgetItem(texts[c]);
      if (c == kBitRate || c == kVotes) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      if (!station.reason.empty()) {
        item->setForeground(grey);
        item->setToolTip(FromUtf8("Cannot be added: " + station.reason));
      }
      // The row as a screen reader says it, on the cell the keyboard moves through.
      if (c == kName) item->setData(Qt::AccessibleTextRole, FromUtf8(RowReading(station)));
      Results->setItem(row, c, item);
    }
  }
  Results->setUpdatesEnabled(true);
}

void FindStationsDialog::SelectionChanged() {
  const int row = SelectedRow();
  if (previewNumber_ != 0 && row != previewRow_) {
    // Another station chosen: its preview ends.
    preview_.Stop();
    previewNumber_ = 0;
    ListenButton->setChecked(false);
  }
  if (row >= 0 && !stations_[static_cast<std::size_t>(row)].reason.empty()) {
    Say(FromUtf8("This station cannot be added: " +
                 stations_[static_cast<std::size_t>(row)].reason));
  }
  UpdateButtons();
}

void FindStationsDialog::AddSelected() {
  const int row = SelectedRow();
  if (row < 0) return;
  const FoundStation& station = stations_[static_cast<std::size_t>(row)];
  if (station.url.empty()) {
    Say(FromUtf8("This station cannot be added: " + station.reason));
    return;
  }
  const QString name = FromUtf8(station.name);
  if (!host_.add || !host_.add(name, station.url)) return;
  if (!server_.empty()) CountDirectoryClick(server_, station.uuid, host_.options.timeout);
  Say("Added to the list: " + name);
}

void FindStationsDialog::ToggleListen() {
  const int row = SelectedRow();
  if (previewNumber_ != 0 || row < 0 || stations_[static_cast<std::size_t>(row)].url.empty()) {
    preview_.Stop();
    if (previewNumber_ != 0) Say("Preview stopped");
    previewNumber_ = 0;
    ListenButton->setChecked(false);
    UpdateButtons();
    return;
  }
  previewRow_ = row;
  previewNumber_ = preview_.Start(stations_[static_cast<std::size_t>(row)].url, host_.volume);
  ListenButton->setChecked(true);
  Say("connecting...");
}

void FindStationsDialog::PreviewDone(int preview, int error) {
  if (preview != previewNumber_ || static_cast<std::size_t>(previewRow_) >= stations_.size())
    return;
  if (error != 0) {
    previewNumber_ = 0;
    ListenButton->setChecked(false);
    Say(QString("Cannot play this station (error code: %1)").arg(error));
    UpdateButtons();
    return;
  }
  Say("Listening: " + FromUtf8(stations_[static_cast<std::size_t>(previewRow_)].name));
}

bool FindStationsDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Results && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      AddSelected();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void FindStationsDialog::done(int result) {
  // Closing, however it closes, ends the preview and drops a running search.
  preview_.Stop();
  previewNumber_ = 0;
  if (cancel_) cancel_->store(true);
  cancel_.reset();
  ++ticket_;
  QDialog::done(result);
}

}  // namespace tw
