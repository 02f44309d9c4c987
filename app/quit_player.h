// Ending the program from outside the window (SIGTERM, SIGINT, the media
// controls' Quit) as the Close button does, whatever state the window is in.
#pragma once

class QWidget;

namespace tw {

// Closes any box or the station editor (each waits in an event loop of its own),
// then the main window, and ends the main event loop: the window's shutdown then
// writes the settings and removes the tray icon. A hidden window (in the tray, or
// started there) does not end the event loop by closing, so this ends it itself.
// Calling it again, or once the loop has ended, does nothing more.
void QuitPlayer(QWidget& window);

}  // namespace tw
