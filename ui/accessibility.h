// What a screen reader hears, where Qt's own reading of our widgets falls short:
// a top-level QWidget read as a "filler", an empty label read as the title of
// its group box.
#pragma once

#include <QAccessible>
#include <QLabel>

namespace tw {

// Installs, once, the accessible readings below. Call before any of the
// widgets is shown.
void InstallAccessibility();

// A status line: its accessible name is always its current text (an empty line
// says nothing), and each change is reported (QLabel sends NameChanged), so a
// screen reader can follow the song title and the connection state.
class StatusLine : public QLabel {
  Q_OBJECT

 public:
  explicit StatusLine(QWidget* parent) : QLabel(parent) {}
};

// The role a screen reader reports for a widget of our own class (the main
// window, the paint box), which Qt would report as a plain client area.
void SetAccessibleRole(QWidget* widget, QAccessible::Role role);

}  // namespace tw
