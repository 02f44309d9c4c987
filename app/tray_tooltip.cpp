#include "app/tray_tooltip.h"

#include <QApplication>
#include <QWidget>

namespace tw {

QString TrayTooltip(const std::string& tip, bool guessesRichText) {
  const QString text = QString::fromStdString(tip);
  if (!guessesRichText || text.isEmpty()) return text;
  return "<qt><span style=\"white-space:pre-wrap\">" + text.toHtmlEscaped() + "</span></qt>";
}

bool TrayIconIsXEmbed() {
  // Qt's XEmbed icon is a top-level widget of this name; the D-Bus one has none.
  for (const QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == "QSystemTrayIconSys") return true;
  }
  return false;
}

}  // namespace tw
