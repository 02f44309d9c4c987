#include "app/list_activation.h"

#include <QEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QObject>

namespace tw {

namespace {

class ActivationFilter : public QObject {
 public:
  ActivationFilter(QListWidget* list, std::function<void()> act)
      : QObject(list), list_(list), viewport_(list->viewport()), act_(std::move(act)) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    // The view's own itemDoubleClicked fires only on a row; the blank area under
    // the last row is part of the list too.
    // Pointers compared only: while the list is destroyed its children still send
    // events here, and the list may no longer be asked for its viewport.
    if (watched == viewport_ && event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
      act_();
      return true;
    }
    if (watched == list_ && event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        act_();
        return true;
      }
    }
    return false;
  }

 private:
  QObject* list_;
  QObject* viewport_;
  std::function<void()> act_;
};

}  // namespace

void OnListActivated(QListWidget* list, std::function<void()> act) {
  auto* filter = new ActivationFilter(list, std::move(act));
  list->viewport()->installEventFilter(filter);
  list->installEventFilter(filter);
}

}  // namespace tw
