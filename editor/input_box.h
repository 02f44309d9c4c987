// The station editor's text prompt goes through here, so that tests can answer
// it instead of a person.
#pragma once

#include <QString>
#include <functional>
#include <optional>

class QWidget;

namespace tw {

struct InputRequest {
  QWidget* owner = nullptr;
  QString caption;
  QString prompt;
  QString initial;  // the text the field starts with
};

// Shows a modal prompt with OK and Cancel. Returns the edited text on OK and the
// initial text on Cancel, so a caller cannot mistake a cancel for an empty entry.
QString InputBox(const InputRequest& request);

// Replaces the real prompt (null restores it). The hook answers with the text
// on OK, or nullopt for Cancel. It runs on the UI thread.
using InputBoxHook = std::function<std::optional<QString>(const InputRequest&)>;
void SetInputBoxHook(InputBoxHook hook);

}  // namespace tw
