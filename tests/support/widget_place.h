// The layout check the window tests share.
#pragma once

#include <gtest/gtest.h>

#include <QRect>
#include <QWidget>

namespace tw::test {

// A control stands exactly at `place`; one that widens to fit its caption in a
// wider fallback font keeps its place and height and is at least as wide as
// both its place and its caption.
inline void ExpectPlaced(const QWidget& control, const QRect& place, bool widens) {
  if (!widens) {
    EXPECT_EQ(control.geometry(), place);
    return;
  }
  EXPECT_EQ(control.pos(), place.topLeft());
  EXPECT_EQ(control.height(), place.height());
  EXPECT_GE(control.width(), place.width());
  EXPECT_GE(control.width(), control.sizeHint().width());
}

}  // namespace tw::test
