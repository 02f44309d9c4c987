// The text prompt, real and answered by a hook.
#include "editor/input_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QTimer>

namespace tw {
namespace {

// Answers the next real prompt: the new text and OK, or Cancel when text is null.
void AnswerPromptSoon(const char* text, QString* seenLabel, QString* seenInitial) {
  QTimer::singleShot(0, [=] {
    auto* prompt = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(prompt, nullptr);
    *seenLabel = prompt->windowTitle() + "|" + prompt->labelText();
    *seenInitial = prompt->textValue();
    if (text) {
      prompt->setTextValue(text);
      prompt->accept();
    } else {
      prompt->reject();
    }
  });
}

// Catches Cancel being taken as an empty name (which would blank the station)
// and OK losing the edited text, with the real prompt.
TEST(InputBox, RealPromptOkAndCancel) {
  struct {
    const char* answer;  // null: Cancel
    const char* result;
  } cases[] = {{"Radio Two", "Radio Two"}, {nullptr, "Radio One"}, {"", ""}};
  for (const auto& c : cases) {
    QString label, initial;
    AnswerPromptSoon(c.answer, &label, &initial);
    const QString result =
        InputBox({nullptr, "Change the name of the radio", "Enter the new name", "Radio One"});
    EXPECT_EQ(result, c.result) << (c.answer ? c.answer : "Cancel");
    EXPECT_EQ(label, "Change the name of the radio|Enter the new name");
    EXPECT_EQ(initial, "Radio One");
  }
}

// Catches a hook whose Cancel is not mapped to the initial text.
TEST(InputBox, HookAnswers) {
  InputRequest seen;
  SetInputBoxHook([&](const InputRequest& request) -> std::optional<QString> {
    seen = request;
    return std::nullopt;
  });
  EXPECT_EQ(InputBox({nullptr, "Caption", "Prompt", "Initial"}), "Initial");
  EXPECT_EQ(seen.caption, "Caption");
  EXPECT_EQ(seen.prompt, "Prompt");
  SetInputBoxHook([](const InputRequest&) { return std::optional<QString>("typed"); });
  EXPECT_EQ(InputBox({nullptr, "Caption", "Prompt", "Initial"}), "typed");
  SetInputBoxHook(nullptr);
}

}  // namespace
}  // namespace tw
