#include "ui/window_font.h"

#include <QStringList>

namespace tw {

QFont WindowFont() {
  QFont font;
  font.setFamilies({"Segoe UI", "Liberation Sans", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(9);
  return font;
}

}  // namespace tw
