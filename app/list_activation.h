// A list box that acts as a button: a double-click anywhere in it (rows and the
// blank area under the last one) or Enter while it has the focus.
#pragma once

#include <functional>

class QListWidget;

namespace tw {

// Runs `act` on the UI thread for each left double-click inside `list` and each
// Enter or Return pressed in it. The filter lives as long as the list.
void OnListActivated(QListWidget* list, std::function<void()> act);

}  // namespace tw
