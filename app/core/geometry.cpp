// Column widths and centring.
#include "app/core/geometry.h"

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

} // namespace pw::app
