// The tray icon's tooltip shows a song title exactly as the station sent it.
#include "app/tray_tooltip.h"

#include <gtest/gtest.h>

#include <QTextDocument>

namespace tw {
namespace {

// What Qt's tooltip shows of a text (it guesses rich text as QLabel does).
QString ShownByQtTooltip(const QString& text) {
  if (!Qt::mightBeRichText(text)) return text;
  QTextDocument document;
  document.setHtml(text);
  return document.toPlainText();
}

// Catches titles that lose their tags, turn bold, decode entities or lose spaces
// in the tooltip.
TEST(TrayTooltip, ShowsTitlesAsSent) {
  const char* titles[] = {
      "<b>Live</b> & <i>Loud</i>",
      "Tom &amp; Jerry &lt;Live&gt;",
      "AC/DC - Back  In   Black ",
      "<p>x</p>",
      "Plain & simple",
      "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE <br> \xE6\x9D\xB1\xE4\xBA\xAC",
      "",
  };
  for (const char* title : titles) {
    SCOPED_TRACE(title);
    const QString sent = QString::fromUtf8(title);
    // XEmbed: Qt shows it as its tooltip.
    EXPECT_EQ(ShownByQtTooltip(TrayTooltip(title, true)), sent);
    // StatusNotifierItem: the host is given the plain text.
    EXPECT_EQ(TrayTooltip(title, false), sent);
  }
}

}  // namespace
}  // namespace tw
