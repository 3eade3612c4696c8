// The stored placement: the text as it is read and written, and the rules that keep a window
// on the screens that are there now (several screens, areas left or above the first one, and
// numbers anywhere in the range of int, which a window test on one screen cannot show).
#include "client/form/Placement.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using form::Placement;
using form::ScreenArea;

TEST(PlacementText, ReadAsScanfReadsFiveNumbersAndWrittenBack)
{
    EXPECT_EQ(form::parsePlacement("10,20,640,480,150"), (Placement{10, 20, 640, 480, 150}));
    EXPECT_EQ(form::parsePlacement(" -10,+20,\t640, 480,150,7 and more"), (Placement{-10, 20, 640, 480, 150}));
    EXPECT_EQ(form::parsePlacement("2147483647,-2147483648,1,1,1"), (Placement{INT_MAX, INT_MIN, 1, 1, 1}));
    for (const char* bad : {"", "10,20,640,480", "10 ,20,640,480,150", "10,,640,480,150", "a,20,640,480,150",
                            "10,20,640,480,2147483648", "10;20;640;480;150", "10,20,640,480,-"}) {
        EXPECT_FALSE(form::parsePlacement(bad)) << bad;
    }
    const Placement p{-1920, 0, 1024, 768, 169};
    EXPECT_EQ(form::placementText(p), "-1920,0,1024,768,169");
    EXPECT_EQ(form::parsePlacement(form::placementText(p)), p);
}

TEST(PlacementOnScreens, SizeMustFitTheDesktopAndTheTitleBarMustBeReachable)
{
    // Two screens side by side, the left one left of the origin and lower.
    const std::vector<ScreenArea> screens{{-1280, 200, 1280, 984}, {0, 0, 1920, 1040}};
    struct Case {
        Placement p;
        bool fits;
        const char* why;
    };
    const Case cases[] = {
        {{100, 100, 639, 432, 169}, true, "on the first screen"},
        {{-1000, 300, 639, 432, 169}, true, "on the left screen"},
        {{-300, 300, 639, 432, 169}, true, "across both"},
        {{-1000, 100, 639, 432, 169}, false, "the title bar above the left screen's top"},
        {{-1000, 190, 639, 432, 169}, true, "half the title bar on the left screen"},
        {{-1000, 189, 639, 432, 169}, false, "less than half of it"},
        {{1820, 10, 639, 432, 169}, true, "100 px of the title bar on the screen"},
        {{1821, 10, 639, 432, 169}, false, "99 px"},
        {{1880, 10, 40, 432, 169}, true, "a narrow window wholly on the screen"},
        {{1881, 10, 40, 432, 169}, false, "a narrow window partly off"},
        {{0, 0, 3201, 400, 169}, false, "wider than both screens"},
        {{0, 0, 3200, 400, 169}, true, "as wide as both"},
        {{0, 0, 800, 1185, 169}, false, "taller than the desktop"},
        {{0, 0, 0, 432, 169}, false, "no width"},
        {{0, 0, 639, -1, 169}, false, "negative height"},
        {{INT_MAX, INT_MAX, 639, 432, 169}, false, "far beyond, without overflow"},
        {{INT_MIN, INT_MIN, INT_MAX, INT_MAX, 169}, false, "huge"},
    };
    for (const Case& c : cases) EXPECT_EQ(form::fitsTheScreens(c.p, screens), c.fits) << c.why;
    EXPECT_FALSE(form::fitsTheScreens({0, 0, 100, 100, 50}, {})) << "no screens at all";
}

TEST(PlacementOnScreens, TreeWidthLeavesRoomForTheSplitterAndTheTable)
{
    EXPECT_EQ(form::usableTreeWidth(250, 639, 4), 250);
    EXPECT_EQ(form::usableTreeWidth(634, 639, 4), 634);
    EXPECT_EQ(form::usableTreeWidth(635, 639, 4), 169) << "no room for the table";
    EXPECT_EQ(form::usableTreeWidth(0, 639, 4), 169);
    EXPECT_EQ(form::usableTreeWidth(-5, 639, 4), 169);
    EXPECT_EQ(form::usableTreeWidth(0, 200, 4), 98) << "half of a window narrower than two design trees";
    EXPECT_EQ(form::usableTreeWidth(INT_MAX, INT_MAX, 4), 169);
}

} // namespace
