#include "editor/input_box.h"

#include <QInputDialog>
#include <QLineEdit>

namespace tw {

namespace {

InputBoxHook& Hook() {
  static InputBoxHook hook;
  return hook;
}

}  // namespace

void SetInputBoxHook(InputBoxHook hook) { Hook() = std::move(hook); }

QString InputBox(const InputRequest& request) {
  std::optional<QString> answer;
  if (Hook()) {
    answer = Hook()(request);
  } else {
    bool ok = false;
    QString text = QInputDialog::getText(request.owner, request.caption, request.prompt,
                                         QLineEdit::Normal, request.initial, &ok);
    if (ok) answer = std::move(text);
  }
  return answer ? *answer : request.initial;
}

}  // namespace tw
