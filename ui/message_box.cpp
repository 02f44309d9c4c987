#include "ui/message_box.h"

#include <QMessageBox>

namespace tw {

namespace {

BoxHook& Hook() {
  static BoxHook hook;
  return hook;
}

QMessageBox::Icon QtIcon(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::Information:
      return QMessageBox::Information;
    case BoxIcon::Warning:
      return QMessageBox::Warning;
    case BoxIcon::Error:
      return QMessageBox::Critical;
    case BoxIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void SetMessageBoxHook(BoxHook hook) { Hook() = std::move(hook); }

const char* BoxIconName(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::Information:
      return "information";
    case BoxIcon::Warning:
      return "warning";
    case BoxIcon::Error:
      return "error";
    case BoxIcon::None:
      break;
  }
  return "none";
}

void ShowMessageBox(const BoxRequest& request) {
  if (Hook()) {
    Hook()(request);
    return;
  }
  QString title = request.title.isEmpty() ? QString(kDefaultBoxTitle) : request.title;
  QString text = request.text;
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QMessageBox box(QtIcon(request.icon), title, text, QMessageBox::Ok, request.owner);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace tw
