#include "editor/Edit_Unit1.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <algorithm>

#include "editor/find_stations.h"
#include "editor/input_box.h"
#include "platform/ini_file.h"
#include "stations/station_list.h"
#include "stations/station_save.h"
#include "ui/message_box.h"
#include "ui/question_box.h"
#include "ui/window_font.h"
#include "ui/window_helpers.h"

using tw::ui::AddStationRow;
using tw::ui::FitWidth;
using tw::ui::FromUtf8;
using tw::ui::Place;

namespace {

constexpr int kClientWidth = 628;
constexpr int kClientHeight = 442;

// A list of stations with a pencil over it, drawn here instead of shipped.
QIcon MakeEditorIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x1E, 0x3A, 0x5F), 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(2.5, 2.5, 24, 27), 3, 3);
  p.setPen(QPen(QColor(0x7F, 0x8C, 0x99), 2, Qt::SolidLine, Qt::RoundCap));
  for (int y = 9; y <= 24; y += 5) p.drawLine(QPointF(7, y), QPointF(21, y));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xF2, 0xA9, 0x00));
  p.drawPolygon(QPolygonF({{29, 11}, {31, 13}, {19, 25}, {17, 23}}));
  p.setBrush(QColor(0x2E, 0x2E, 0x2E));
  p.drawPolygon(QPolygonF({{17, 23}, {19, 25}, {15, 27}}));
  return QIcon(pixmap);
}

}  // namespace

TRadioEdit::TRadioEdit(std::filesystem::path programFolder, QWidget* owner)
    : QDialog(owner, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      folder_(std::move(programFolder)) {
  setObjectName("RadioEdit");
  setWindowTitle("Tunewell Editor for Simple Tunewell");
  setWindowIcon(MakeEditorIcon());
  setFont(tw::WindowFont());
  // Resizable, but without a layout: the controls keep their places.
  resize(kClientWidth, kClientHeight);
  CreateControls();
  SetTabOrder();
  FormCreate();
}

void TRadioEdit::CreateControls() {
  Label1 = Place(new QLabel("Name:", this), "Label1", {8, 8, 35, 15});
  Label2 = Place(new QLabel("URL:", this), "Label2", {32, 338, 24, 15});
  FitWidth(Label1);
  FitWidth(Label2);
  Edit1 = Place(new QLineEdit(this), "Edit1", {72, 335, 353, 23});
  Button1 = Place(new QPushButton("&Add", this), "Button1", {32, 384, 75, 25});
  Button2 = Place(new QPushButton("&Remove", this), "Button2", {176, 384, 75, 25});
  Button3 = Place(new QPushButton("&Save", this), "Button3", {320, 384, 75, 25});
  ListBox1 = Place(new QListWidget(this), "ListBox1", {64, 8, 361, 305});
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setUniformItemSizes(true);
  Edit2 = Place(new QLineEdit(this), "Edit2", {431, 24, 189, 23});
  Button4 = Place(new QPushButton("C&hange name", this), "Button4", {488, 53, 91, 25});
  Button5 = Place(new QPushButton("&Close", this), "Button5", {504, 384, 75, 25});
  // Free space right of the URL field, in line with "&Close" below it.
  ButtonFind = Place(new QPushButton("&Find...", this), "ButtonFind", {504, 334, 75, 25});

  // A dialog's buttons become its default button when focused; Enter in an
  // edit must not save or close.
  for (QPushButton* button : {Button1, Button2, Button3, Button4, Button5, ButtonFind}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  // Buttons and labels read their captions; the list and the two edits are
  // named for what they hold.
  Label1->setBuddy(ListBox1);
  Label2->setBuddy(Edit1);
  ListBox1->setAccessibleName("Stations");
  Edit1->setAccessibleName("URL");
  Edit2->setAccessibleName("New name");
  Edit2->setAccessibleDescription("The selected station's name, for \"Change name\"");

  // The selection rather than the current row, which a mouse press moves before
  // it selects. clicked as well: a click on the row selected at opening changes
  // nothing, yet must show that station.
  connect(ListBox1, &QListWidget::itemSelectionChanged, this, [this] { ListBox1Click(); });
  connect(ListBox1, &QAbstractItemView::clicked, this, [this] { ListBox1Click(); });
  connect(ListBox1, &QAbstractItemView::doubleClicked, this, [this] { ListBox1DblClick(); });
  connect(Edit1, &QLineEdit::textChanged, this, [this] { Edit1Change(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
  connect(ButtonFind, &QPushButton::clicked, this, [this] { ButtonFindClick(); });
}

void TRadioEdit::SetTabOrder() {
  QWidget* order[] = {Edit1, Button1, Button2, Button3,   ListBox1,
                      Edit2, Button4, Button5, ButtonFind};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

void TRadioEdit::FormCreate() {
  text.clear();
  tw::IniFile file(folder_ / tw::kStationFileName);
  if (!file.error().empty()) {
    // Save refuses to replace a file it could not read, so nothing is lost.
    tw::ShowMessageBox({parentWidget(), FromUtf8(file.error()), {}, tw::BoxIcon::Warning});
  }
  // Paired by section, as the main window loads them: a section with only a
  // name or only a URL never shifts later names onto other stations' URLs.
  for (tw::Station& station : tw::ReadStations(file)) {
    AddStationRow(ListBox1, FromUtf8(station.name));
    text.push_back(std::move(station.url));
  }

  // The second row, without showing it in the edits: that waits for the user.
  if (ListBox1->count() >= 2) {
    const QSignalBlocker quiet(ListBox1);
    ListBox1->setCurrentRow(1);
  }
  Edit1->setFocus();
}

int TRadioEdit::SelectedStation() const {
  const int row = ListBox1->currentRow();
  if (row < 0 || !ListBox1->item(row)->isSelected()) return -1;
  return static_cast<size_t>(row) < text.size() ? row : -1;
}

void TRadioEdit::ClearSelection() {
  const QSignalBlocker quiet(ListBox1);
  ListBox1->setCurrentRow(-1);
  ListBox1->clearSelection();
}

void TRadioEdit::ListBox1Click() {
  const int row = SelectedStation();
  if (row < 0) return;
  // Runs Edit1Change, which stores the same URL back.
  Edit1->setText(FromUtf8(text[static_cast<size_t>(row)]));
  Edit2->setText(ListBox1->item(row)->text());
}

void TRadioEdit::ListBox1DblClick() {
  const int row = SelectedStation();
  if (row < 0) return;
  // Cancel gives back the current name, so it changes nothing but Edit2.
  const QString name = tw::InputBox(
      {this, "Change the name of the radio", "Enter the new name", ListBox1->item(row)->text()});
  ListBox1->item(row)->setText(name);
  Edit2->setText(name);
}

void TRadioEdit::Edit1Change() {
  const int row = SelectedStation();
  if (row < 0) return;
  text[static_cast<size_t>(row)] = Edit1->text().toStdString();
}

void TRadioEdit::Button1Click() {
  AddStationRow(ListBox1, "Name");
  text.push_back("https://url");
}

void TRadioEdit::Button2Click() {
  const int row = SelectedStation();
  if (row < 0) return;
  text.erase(text.begin() + row);
  {
    // Taking the row away would move the selection to its neighbour and show
    // that station in the edits; the edits keep their text instead.
    const QSignalBlocker quiet(ListBox1);
    delete ListBox1->takeItem(row);
  }
  ClearSelection();
}

void TRadioEdit::Button3Click() {
  std::vector<tw::Station> stations;
  stations.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    stations.push_back({ListBox1->item(static_cast<int>(i))->text().toStdString(), text[i]});
  }
  std::string error;
  if (!tw::SaveStations(folder_, stations, &error)) {
    // The dialog stays open with every change, so the user can try again.
    tw::ShowMessageBox({this, FromUtf8(error), {}, tw::BoxIcon::Error});
    return;
  }
  accept();
}

void TRadioEdit::Button4Click() {
  const int row = SelectedStation();
  if (row < 0) return;
  ListBox1->item(row)->setText(Edit2->text());
}

void TRadioEdit::Button5Click() { reject(); }

tw::FindStationsDialog* TRadioEdit::CreateFinder() {
  tw::FinderHost host;
  host.add = [this](const QString& name, const std::string& url) {
    return AddFoundStation(name, url);
  };
  // Read at each opening: the key is the user's to set in the settings file.
  host.options.server = tw::ReadDirectoryServer(tw::IniFile(folder_ / "radio_config.cfg"));
  host.volume = previewVolume;
  return new tw::FindStationsDialog(std::move(host), this);
}

void TRadioEdit::ButtonFindClick() {
  QPointer<tw::FindStationsDialog> finder = CreateFinder();
  finder->exec();
  delete finder.data();
}

bool TRadioEdit::AddFoundStation(const QString& name, const std::string& url) {
  if (std::find(text.begin(), text.end(), url) != text.end()) {
    const QString question =
        QString("\"%1\" (%2) is already in the list. Add it again?").arg(name, FromUtf8(url));
    if (!tw::AskQuestion({this, question, "Find stations", tw::BoxIcon::None})) return false;
  }
  AddStationRow(ListBox1, name);
  text.push_back(url);
  return true;
}

void TRadioEdit::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Cancel)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

namespace tw {

void OpenStationEditor(QWidget* owner, const std::filesystem::path& folder, float previewVolume) {
  // QPointer: should the owner go while the dialog runs, it takes the dialog with
  // it, and the delete below must not run a second time.
  QPointer<TRadioEdit> dialog = new TRadioEdit(folder, owner);
  // Modal over its owner only: an application-modal dialog would also block the
  // tray icon, and a window minimised into the tray could not come back.
  dialog->setWindowModality(Qt::WindowModal);
  dialog->previewVolume = previewVolume;
  dialog->exec();
  delete dialog.data();
}

}  // namespace tw
