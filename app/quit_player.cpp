#include "app/quit_player.h"

#include <QApplication>
#include <QWidget>

namespace tw {

void QuitPlayer(QWidget& window) {
  // A box shown while the window waits (one with OK only closes as OK does), and
  // the editor, which closes as Cancel.
  QApplication::closeAllWindows();
  window.close();
  // Ends every event loop at once, the boxes' nested ones too; one opened from
  // here on returns at once.
  QCoreApplication::exit(0);
}

}  // namespace tw
