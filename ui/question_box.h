// A Yes/No question, hookable as the message boxes are, so that tests answer it.
#pragma once

#include <functional>

#include "ui/message_box.h"

namespace tw {

// Shows a modal box with Yes and No (No is the default) and returns true for Yes.
bool AskQuestion(const BoxRequest& request);

// Replaces the real box (null restores it). The hook runs on the UI thread.
using QuestionHook = std::function<bool(const BoxRequest&)>;
void SetQuestionHook(QuestionHook hook);

}  // namespace tw
