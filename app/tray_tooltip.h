// The tray icon's tooltip as Qt is given it, so that a song title shows exactly
// as the station sent it: "<", ">", "&", tags and entities as plain text.
#pragma once

#include <QString>
#include <string>

namespace tw {

// On XEmbed tray hosts Qt shows the tooltip itself and guesses rich text from it
// (a known tag or an entity makes it markup), so the text goes as rich text that
// shows itself literally, spaces kept. StatusNotifierItem hosts take the
// tooltip's title as plain text, so there it goes as it is.
QString TrayTooltip(const std::string& tip, bool guessesRichText);

// Whether Qt shows this process's tray icon in a window of its own, docked into
// an XEmbed tray host (whose tooltip guesses rich text), rather than over D-Bus
// as a StatusNotifierItem. Asked after the icon was shown.
bool TrayIconIsXEmbed();

}  // namespace tw
