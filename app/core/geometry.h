// The geometry rules the windows share, as plain arithmetic: dialog units (sizes that follow the
// font), list columns by percentage, and centring a window over its owner.
#pragma once

#include <cstdint>
#include <vector>

namespace pw::app {

// Dialog units: a horizontal unit is a quarter of the font's average character width, a
// vertical unit an eighth of its height, so a layout drawn in them grows with the font.
struct DialogUnits {
    int baseX; // average character width of the font, pixels
    int baseY; // character height of the font, pixels

    // Pixels of `du` horizontal units, rounded to the nearest pixel.
    [[nodiscard]] int x(int du) const { return (du * baseX * 2 + 4) / 8; }
    // Pixels of `du` vertical units, rounded to the nearest pixel.
    [[nodiscard]] int y(int du) const { return (du * baseY * 2 + 8) / 16; }
};

// Column widths of a list whose client area is `clientWidth` pixels: percent x width / 100 each,
// in whole pixels (rounded down).
[[nodiscard]] std::vector<int> ColumnWidths(int clientWidth, const std::vector<int>& percents);

struct Rect {
    int left;   // pixels
    int top;    // pixels
    int width;  // pixels, may be 0
    int height; // pixels, may be 0
};
struct Point {
    int x; // pixels
    int y; // pixels
};

// Top-left corner that centres a window of `width` x `height` over `reference` (its owner, or
// the desktop): half of each free extent, rounded toward zero. A window larger than its owner
// starts above and left of the owner's corner; the result is not kept on the screen.
[[nodiscard]] Point CenteredTopLeft(const Rect& reference, int width, int height);

} // namespace pw::app
