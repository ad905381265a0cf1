// Column widths and centring.
#include "app/core/geometry.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace pw::app {

std::vector<int> ColumnWidths(int clientWidth, const std::vector<int>& percents) {
    std::vector<int> widths;
    widths.reserve(percents.size());
    for (const int percent : percents) {
        widths.push_back(percent * clientWidth / 100);
    }
    return widths;
}

Point CenteredTopLeft(const Rect& reference, int width, int height) {
    // C++ integer division rounds toward zero, also for a negative free extent.
    return Point{reference.left + (reference.width - width) / 2,
                 reference.top + (reference.height - height) / 2};
}

namespace {

// The point of the title bar that must be on a screen: a little into its left part.
constexpr int GRAB_X = 50;
constexpr int GRAB_Y = 10;
// No coordinate or size of a place is larger (so sums of them cannot overflow).
constexpr int PLACE_LIMIT = 1000000;

} // namespace

std::string FormatWindowPlace(const WindowPlace& place) {
    char line[80];
    std::snprintf(line, sizeof(line), "%d %d %d %d %d\n", place.normal.left, place.normal.top,
                  place.normal.width, place.normal.height, place.maximized ? 1 : 0);
    return line;
}

std::optional<WindowPlace> ParseWindowPlace(const std::string& text) {
    if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) {
        return std::nullopt;
    }
    int values[5] = {};
    const char* at = text.data();
    const char* const end = text.data() + text.size() - 1;
    for (int i = 0; i < 5; ++i) {
        if (i > 0 && (at == end || *at++ != ' ')) { // one blank between the numbers
            return std::nullopt;
        }
        const auto [next, error] = std::from_chars(at, end, values[i]);
        if (error != std::errc() || std::abs(values[i]) > PLACE_LIMIT) {
            return std::nullopt;
        }
        at = next;
    }
    const bool sized = values[2] > 0 && values[3] > 0;
    if (at != end || !sized || (values[4] != 0 && values[4] != 1)) {
        return std::nullopt;
    }
    return WindowPlace{Rect{values[0], values[1], values[2], values[3]}, values[4] == 1};
}

bool PlaceIsOnScreen(const WindowPlace& place, const std::vector<Rect>& screens) {
    const int x = place.normal.left + std::min(GRAB_X, place.normal.width / 2);
    const int y = place.normal.top + std::min(GRAB_Y, place.normal.height / 2);
    return std::any_of(screens.begin(), screens.end(), [x, y](const Rect& s) {
        return x >= s.left && x < s.left + s.width && y >= s.top && y < s.top + s.height;
    });
}

} // namespace pw::app
