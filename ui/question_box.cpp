#include "ui/question_box.h"

#include <QMessageBox>

namespace tw {

namespace {

QuestionHook& Hook() {
  static QuestionHook hook;
  return hook;
}

}  // namespace

void SetQuestionHook(QuestionHook hook) { Hook() = std::move(hook); }

bool AskQuestion(const BoxRequest& request) {
  if (Hook()) return Hook()(request);
  const QString title = request.title.isEmpty() ? QString(kDefaultBoxTitle) : request.title;
  QString text = request.text;
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No,
                  request.owner);
  box.setDefaultButton(QMessageBox::No);
  box.setTextFormat(Qt::PlainText);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace tw
