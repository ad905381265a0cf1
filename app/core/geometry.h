// The geometry rules the windows share, as plain arithmetic: dialog units (sizes that follow the
// font), list columns by percentage, and centring a window over its owner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

// ---- the main window's place between runs ----

// Kept in a small text file of the working directory (the data file keeps its fixed layout):
// one line "<left> <top> <width> <height> <maximized 0|1>": the normal window's place and
// whether it was maximized.
constexpr char WINDOW_PLACE_FILE_NAME[] = "portweave.window";

struct WindowPlace {
    Rect normal;    // the normal (not maximized) window's inside (working area and menu, not
                    // the frame), pixels
    bool maximized; // the window was maximized
};

[[nodiscard]] std::string FormatWindowPlace(const WindowPlace& place);
// The place in `text`; nothing when it is not one line as FormatWindowPlace writes it, or its
// size is not positive.
[[nodiscard]] std::optional<WindowPlace> ParseWindowPlace(const std::string& text);

// Whether a window at `place` can be grabbed on one of `screens` (their available areas): the
// left part of its top (just under the title bar) is on a screen. A place saved on a monitor that
// is gone, or before the screen shrank, is not, and the window is then centred as at a first start.
[[nodiscard]] bool PlaceIsOnScreen(const WindowPlace& place, const std::vector<Rect>& screens);

} // namespace pw::app
