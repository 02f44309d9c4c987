// The station editor: a modal dialog working on its own copy of the station
// list, which reaches "favorites.cfg" (and so the main window) only through Save.
#pragma once

#include <QDialog>
#include <filesystem>
#include <string>
#include <vector>

class QKeyEvent;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace tw {
class FindStationsDialog;
}

class TRadioEdit : public QDialog {
  Q_OBJECT

 public:
  // Builds the dialog and runs FormCreate, which loads the list from the file.
  TRadioEdit(std::filesystem::path programFolder, QWidget* owner);

  // Controls, named as in the dialog's layout.
  QLabel* Label1;
  QLabel* Label2;
  QLineEdit* Edit1;
  QPushButton* Button1;
  QPushButton* Button2;
  QPushButton* Button3;
  QListWidget* ListBox1;
  QLineEdit* Edit2;
  QPushButton* Button4;
  QPushButton* Button5;
  // "&Find...": the public station directory (beside the layout's controls).
  QPushButton* ButtonFind;

  // The URL of each row of ListBox1; always as long as the list.
  std::vector<std::string> text;

  // Volume of the finder's previews, 0 to 1: the player's.
  float previewVolume = 1;
  // The finder "&Find..." shows, reading DirectoryServer from the settings.
  tw::FindStationsDialog* CreateFinder();
  // Appends a found station as "&Add" appends one; a URL already in the list
  // is added only when the user says so. Returns whether it was added.
  bool AddFoundStation(const QString& name, const std::string& url);

 protected:
  // Escape would close the dialog and drop every change; the dialog has no
  // cancel button, so it does nothing here.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void CreateControls();
  void SetTabOrder();
  void FormCreate();
  // The selected row when it has a URL entry, else -1: the row handlers do
  // nothing without one.
  int SelectedStation() const;
  void ClearSelection();

  void ListBox1Click();
  void ListBox1DblClick();
  void Edit1Change();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void ButtonFindClick();

  std::filesystem::path folder_;
};

namespace tw {

// "&Edit sender": shows a new editor modally over owner and destroys it however
// it was closed. The caller reloads its list afterwards, saved or not.
void OpenStationEditor(QWidget* owner, const std::filesystem::path& folder,
                       float previewVolume = 1);

}  // namespace tw
