#include "client/form/Placement.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace form {

namespace {

constexpr long long kTitleBarHeight = 20;
constexpr long long kTitleBarGrip = 100;

} // namespace

std::optional<Placement> parsePlacement(const std::string& text)
{
    int numbers[5] = {};
    const char* p = text.c_str();
    for (std::size_t i = 0; i < 5; ++i) {
        if (i > 0) {
            if (*p != ',') return std::nullopt;
            ++p;
        }
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
        const char* digits = p;
        if (*digits == '+' || *digits == '-') ++digits;
        if (*digits < '0' || *digits > '9') return std::nullopt;
        errno = 0;
        char* end = nullptr;
        const long value = std::strtol(p, &end, 10);
        if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
        numbers[i] = static_cast<int>(value);
        p = end;
    }
    return Placement{numbers[0], numbers[1], numbers[2], numbers[3], numbers[4]};
}

std::string placementText(const Placement& p)
{
    char text[80];
    std::snprintf(text, sizeof text, "%d,%d,%d,%d,%d", p.left, p.top, p.width, p.height, p.treeWidth);
    return text;
}

bool fitsTheScreens(const Placement& placement, const std::vector<ScreenArea>& screens)
{
    // Computed wide: the stored numbers may be anywhere in the range of int.
    if (placement.width <= 0 || placement.height <= 0 || screens.empty()) return false;
    long long left = LLONG_MAX, top = LLONG_MAX, right = LLONG_MIN, bottom = LLONG_MIN;
    for (const ScreenArea& s : screens) {
        left = std::min<long long>(left, s.left);
        top = std::min<long long>(top, s.top);
        right = std::max<long long>(right, static_cast<long long>(s.left) + s.width);
        bottom = std::max<long long>(bottom, static_cast<long long>(s.top) + s.height);
    }
    if (placement.width > right - left || placement.height > bottom - top) return false;

    const long long barLeft = placement.left;
    const long long barRight = barLeft + placement.width;  // exclusive
    const long long barTop = placement.top;
    const long long barBottom = barTop + kTitleBarHeight;
    for (const ScreenArea& s : screens) {
        const long long shownWidth = std::min<long long>(barRight, static_cast<long long>(s.left) + s.width) -
                                     std::max<long long>(barLeft, s.left);
        const long long shownHeight = std::min<long long>(barBottom, static_cast<long long>(s.top) + s.height) -
                                      std::max<long long>(barTop, s.top);
        if (shownWidth >= std::min<long long>(placement.width, kTitleBarGrip) && shownHeight * 2 >= kTitleBarHeight)
            return true;
    }
    return false;
}

int usableTreeWidth(int treeWidth, int windowWidth, int splitterWidth)
{
    const long long room = static_cast<long long>(windowWidth) - splitterWidth;
    if (treeWidth > 0 && treeWidth < room) return treeWidth;
    return static_cast<int>(std::min<long long>(kDesignPlacement.treeWidth, room / 2));
}

} // namespace form
