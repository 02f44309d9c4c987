#pragma once

#include <QFont>

namespace tw {

// The windows' font: "Segoe UI" 9 pt, else the closest sans-serif installed.
QFont WindowFont();

}  // namespace tw
