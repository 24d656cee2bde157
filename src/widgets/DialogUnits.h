#pragma once
// Dialog units to pixels with a dialog font: x counts 4 units a character of the font's average
// width, y 8 units a character height.

#include <QFont>
#include <QFontMetrics>

#include "core/Conversions.h"

namespace nbtv {

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics metrics(font);
        charWidth_ = metrics.averageCharWidth();
        charHeight_ = metrics.height();
    }
    int width(int units) const { return truncateToInt(units * charWidth_ / 4.0); }
    int height(int units) const { return truncateToInt(units * charHeight_ / 8.0); }

  private:
    int charWidth_ = 0;
    int charHeight_ = 0;
};

} // namespace nbtv
