// The main window's placement as the settings store it ("MainForm": "left,top,width,height,
// treeWidth" in pixels) and the rules for using a stored one: it must fit the screens, and the
// tree must leave room for itself and the table. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace form {

struct Placement {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    int treeWidth = 0;
    bool operator==(const Placement&) const = default;
};

// The window as designed (design pixels at 96 DPI).
inline constexpr Placement kDesignPlacement{192, 112, 639, 432, 169};

// The name of the setting.
inline constexpr const char* kPlacementValue = "MainForm";

// The stored text, read as "%d,%d,%d,%d,%d" would read it: each number may have blanks and a
// sign before its digits, the commas must follow the numbers directly, and anything after the
// fifth number is ignored. A number outside the range of int makes the text unusable.
std::optional<Placement> parsePlacement(const std::string& text);
std::string placementText(const Placement& placement);

// A screen's area available to windows.
struct ScreenArea {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// Whether a stored placement can be used as it stands: its size fits the desktop's available
// area (the bounds of all screens) and enough of its title bar (half its height, and 100 pixels
// or the whole width of a narrower window) lies on one screen. A placement from another set of
// screens, or a damaged one, would otherwise make a window that cannot be seen or moved.
bool fitsTheScreens(const Placement& placement, const std::vector<ScreenArea>& screens);

// The tree's width for a window of the given width: the stored one when it leaves room for the
// splitter and the table, else the design width (at most half of what there is).
int usableTreeWidth(int treeWidth, int windowWidth, int splitterWidth);

} // namespace form
