#include "app/song_history_dialog.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/song_saver.h"

namespace tw {

namespace {

// Rows keep the entry's index in the history.
constexpr int kIndexRole = Qt::UserRole;

QString Shown(const std::string& utf8) { return QString::fromStdString(utf8); }

// "2026-12-09 21:03:05": the local time the song was shown, offset left out.
QString TimeShown(const SongEntry& entry) {
  std::string text = LocalTimeText(entry.time, entry.utcOffset).substr(0, 19);
  text[10] = ' ';
  return Shown(text);
}

}  // namespace

QUrl WebSearchUrl(const QString& title) {
  QUrl url("https://duckduckgo.com/");
  // Encoded whole: "+" and "&" are part of many titles.
  url.setQuery("q=" + QString::fromLatin1(QUrl::toPercentEncoding(title)), QUrl::StrictMode);
  return url;
}

SongHistoryDialog::SongHistoryDialog(const SongHistory& history, SongSaver& saver, QWidget* parent)
    : QDialog(parent), history_(history), saver_(saver) {
  setObjectName("SongHistory");
  setWindowTitle("Song history");
  filter_ = new QLineEdit(this);
  filter_->setObjectName("Filter");
  filter_->setPlaceholderText("Filter");
  filter_->setAccessibleName("Filter");
  filter_->setClearButtonEnabled(true);
  list_ = new QTreeWidget(this);
  list_->setObjectName("Songs");
  list_->setAccessibleName("Songs");
  list_->setHeaderLabels({"Time", "Station", "Title"});
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->header()->setStretchLastSection(true);
  line_ = new QLabel(this);
  line_->setObjectName("SaveLine");
  line_->setTextFormat(Qt::PlainText);
  line_->setWordWrap(true);
  line_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  copy_ = new QPushButton("&Copy", this);
  search_ = new QPushButton("Search the &web", this);
  save_ = new QPushButton("&Save", this);
  auto* close = new QPushButton("C&lose", this);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* button : {copy_, search_, save_}) buttons->addWidget(button);
  buttons->addStretch();
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(filter_);
  layout->addWidget(list_);
  layout->addWidget(line_);
  layout->addLayout(buttons);
  resize(640, 420);

  connect(filter_, &QLineEdit::textChanged, this, [this] { Refresh(); });
  connect(list_, &QTreeWidget::currentItemChanged, this, [this] { UpdateButtons(); });
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { Copy(); });
  connect(copy_, &QPushButton::clicked, this, [this] { Copy(); });
  connect(search_, &QPushButton::clicked, this, [this] { Search(); });
  connect(save_, &QPushButton::clicked, this, [this] { Save(); });
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  Refresh();
}

void SongHistoryDialog::Refresh() {
  const SongEntry* was = Selected();
  const std::string selectedTitle = was ? was->title : std::string();
  const int64_t selectedTime = was ? was->time : 0;
  const QString filter = filter_->text().trimmed();
  list_->clear();
  const std::vector<SongEntry>& entries = history_.entries();
  QList<QTreeWidgetItem*> rows;
  QTreeWidgetItem* current = nullptr;
  for (std::size_t i = entries.size(); i-- > 0;) {
    const SongEntry& entry = entries[i];
    const QString station = Shown(entry.station);
    const QString title = Shown(entry.title);
    if (!filter.isEmpty() && !title.contains(filter, Qt::CaseInsensitive) &&
        !station.contains(filter, Qt::CaseInsensitive)) {
      continue;
    }
    auto* row = new QTreeWidgetItem({TimeShown(entry), station, title});
    row->setData(0, kIndexRole, static_cast<qulonglong>(i));
    if (entry.time == selectedTime && entry.title == selectedTitle) current = row;
    rows.push_back(row);
  }
  list_->addTopLevelItems(rows);
  list_->resizeColumnToContents(0);
  if (!current && !rows.isEmpty()) current = rows.front();
  if (current) list_->setCurrentItem(current);
  UpdateButtons();
}

const SongEntry* SongHistoryDialog::Selected() const {
  const QTreeWidgetItem* row = list_->currentItem();
  if (!row) return nullptr;
  const auto index = row->data(0, kIndexRole).toULongLong();
  const std::vector<SongEntry>& entries = history_.entries();
  return index < entries.size() ? &entries[index] : nullptr;
}

void SongHistoryDialog::UpdateButtons() {
  const SongEntry* entry = Selected();
  copy_->setEnabled(entry);
  search_->setEnabled(entry);
  SongOffer offer;
  if (entry) offer = saver_.OfferFor(Shown(entry->title), entry->time * 1000);
  save_->setEnabled(offer.kept);
  save_->setText(offer.whenItEnds ? "&Save when it ends" : "&Save");
}

void SongHistoryDialog::Copy() {
  if (const SongEntry* entry = Selected())
    QGuiApplication::clipboard()->setText(Shown(entry->title));
}

void SongHistoryDialog::Search() {
  if (const SongEntry* entry = Selected())
    QDesktopServices::openUrl(WebSearchUrl(Shown(entry->title)));
}

void SongHistoryDialog::Save() {
  const SongEntry* entry = Selected();
  if (!entry) return;
  const QString title = Shown(entry->title);
  if (!saver_.Save(title, entry->time * 1000)) {
    ShowLine("\"" + title + "\" is no longer kept.");
  } else if (saver_.Waiting()) {
    ShowLine("\"" + title + "\" is saved when it ends.");
  } else {
    ShowLine("Saving \"" + title + "\"...");
  }
  UpdateButtons();
}

void SongHistoryDialog::ShowLine(const QString& text) { line_->setText(text); }

}  // namespace tw
