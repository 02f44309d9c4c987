// Small pieces both windows build their controls with.
#pragma once

#include <QListWidget>
#include <QRect>
#include <QString>
#include <QWidget>
#include <string>

namespace tw::ui {

inline QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// Names the control as in the window's layout and puts it at its place.
template <typename T>
T* Place(T* control, const char* name, QRect place) {
  control->setObjectName(name);
  control->setGeometry(place);
  return control;
}

// Widens a label or check box to its caption when the fallback font is wider
// than the one the layout was drawn for, so no caption is clipped.
inline void FitWidth(QWidget* control) {
  const int needed = control->sizeHint().width();
  if (needed > control->width()) control->resize(needed, control->height());
}

// A row of a station list box: every row is 15 pixels high.
inline QListWidgetItem* AddStationRow(QListWidget* list, const QString& name) {
  auto* row = new QListWidgetItem(name, list);
  row->setSizeHint(QSize(0, 15));
  return row;
}

}  // namespace tw::ui
