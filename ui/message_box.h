// Every message box of the player goes through here, so that tests (and the test
// build of the player) can answer boxes instead of a person.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace tw {

// The title of a box that names none: the program's name. It is not set as Qt's
// application display name, which Qt would append to every window's caption.
inline constexpr const char* kDefaultBoxTitle = "Tunewell";

enum class BoxIcon { None, Information, Warning, Error };

struct BoxRequest {
  QWidget* owner = nullptr;  // null: no owner
  QString text;              // as the program words it, "\r\n" line breaks included
  QString title;             // empty: kDefaultBoxTitle
  BoxIcon icon = BoxIcon::None;
};

// Shows a modal box with an OK button and returns when it is closed.
void ShowMessageBox(const BoxRequest& request);

// Replaces the real boxes (null restores them). The hook runs on the UI thread.
using BoxHook = std::function<void(const BoxRequest&)>;
void SetMessageBoxHook(BoxHook hook);

const char* BoxIconName(BoxIcon icon);

}  // namespace tw
