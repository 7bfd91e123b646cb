#include <gtest/gtest.h>

#include "app/layout.h"

using namespace kb;

namespace {

constexpr double kW = 6855, kH = 5445; // the client area at creation

MainLayout laidOut(const std::string& barTop, double w = kW, double h = kH) {
    MainLayout l = MainLayout::initial();
    std::string error;
    EXPECT_TRUE(formResize(l, w, h, barTop, error)) << error;
    EXPECT_EQ(error, "");
    return l;
}

TEST(LayoutTest, DefaultSplitterGivesTheDocumentedPlaces) {
    MainLayout l = laidOut("3500");
    EXPECT_EQ(l.tabMain, (Rect{0, 615, kW, 2885}));
    EXPECT_EQ(l.listView.top, 1335);
    EXPECT_EQ(l.listView.bottom(), 3470);
    EXPECT_EQ(l.listView.height, 2135);
    EXPECT_EQ(l.listViewLog.top, 3560);
    EXPECT_EQ(l.listViewLog.bottom(), l.statusBar.top) << "the history list reaches the status bar";
    EXPECT_EQ(l.picBarH, (Rect{-15000, 3500, 30000, 60}));
    // The controls that the layout never touches.
    MainLayout initial = MainLayout::initial();
    EXPECT_EQ(l.toolbar, initial.toolbar);
    EXPECT_EQ(l.fraLabel, initial.fraLabel);
    EXPECT_EQ(l.statusBar, initial.statusBar);
}

TEST(LayoutTest, CreationPlacesKeepTheirMargins) {
    MainLayout l = laidOut("");
    EXPECT_EQ(l.picBarH.top - l.listView.bottom(), 30);
    EXPECT_EQ(l.listView.right() - l.cmdTo.right(), 60);
    EXPECT_EQ(l.listViewLog.height, MainLayout::initial().listViewLog.height);
    EXPECT_EQ(l.txtTo.left, 1290);
    EXPECT_EQ(l.cmdTo.top, 990);

    // Recomputing from the current history height changes nothing.
    MainLayout again = l;
    std::string error;
    ASSERT_TRUE(formResize(again, kW, kH, "", error));
    EXPECT_EQ(again, l);
}

TEST(LayoutTest, ResizingKeepsTheHistoryHeight) {
    MainLayout l = laidOut("3500");
    const double logHeight = l.listViewLog.height;
    std::string error;
    ASSERT_TRUE(formResize(l, kW + 1000, kH + 600, "", error));
    EXPECT_EQ(l.listViewLog.height, logHeight);
    EXPECT_EQ(l.tabMain.height, 2885 + 600);
    EXPECT_EQ(l.listView.height, 2135 + 600);
    EXPECT_EQ(l.listViewLog.width, kW + 1000);
    EXPECT_EQ(l.cmdTo.right(), l.listView.right() - 60);
}

TEST(LayoutTest, SplitterDropOnTheHistoryList) {
    MainLayout l = laidOut("3500");
    const MainLayout before = l;
    std::string error;
    ASSERT_TRUE(formResize(l, kW, kH, singleText(l.listViewLog.top + 300), error));
    EXPECT_EQ(l.picBarH.top, before.picBarH.top + 360);
    EXPECT_EQ(l.listViewLog.height, before.listViewLog.height - 360);
    EXPECT_EQ(l.listView.height, before.listView.height + 360);
}

TEST(LayoutTest, FailingStepKeepsLaterControlsWhereTheyWere) {
    const MainLayout start = laidOut("3500");
    std::string error;

    for (const char* text : {"abc", "3,500", "0x10", "nan", "1e40", "3500px", "+-1"}) {
        MainLayout l = start;
        EXPECT_FALSE(formResize(l, kW, kH, text, error)) << text;
        EXPECT_NE(error, "");
        EXPECT_EQ(l, start) << text;
    }

    // Dropped high on the file list: the tab strip fits, the file list would not.
    MainLayout high = start;
    EXPECT_FALSE(formResize(high, kW, kH, "1000", error));
    EXPECT_NE(error.find("ListView"), std::string::npos) << error;
    EXPECT_EQ(high.tabMain, (Rect{0, 615, kW, 385}));
    EXPECT_EQ(high.listView, start.listView);
    EXPECT_EQ(high.picBarH.top, 1000);
    EXPECT_EQ(high.picBarH.left, start.picBarH.left);
    EXPECT_EQ(high.listViewLog, start.listViewLog);

    // Above the tool bar: nothing but the splitter's top moves.
    MainLayout above = start;
    EXPECT_FALSE(formResize(above, kW, kH, "500", error));
    EXPECT_EQ(above.tabMain, start.tabMain);

    // A window too low for the history list.
    MainLayout low = start;
    EXPECT_FALSE(formResize(low, kW, 3700, "3500", error));
    EXPECT_NE(error.find("ListViewLog"), std::string::npos) << error;
    EXPECT_EQ(low.listViewLog, start.listViewLog);

    // A window too narrow for the destination box.
    MainLayout narrow = start;
    EXPECT_FALSE(formResize(narrow, 2000, kH, "3500", error));
    EXPECT_EQ(narrow.listView.width, 1960);
    EXPECT_EQ(narrow.txtTo, start.txtTo);
    EXPECT_EQ(narrow.cmdTo, start.cmdTo);
}

TEST(LayoutTest, SplitterTextForms) {
    EXPECT_EQ(laidOut(" 3500 ").picBarH.top, 3500);
    EXPECT_EQ(laidOut("3500.5").picBarH.top, 3500.5);
    EXPECT_EQ(laidOut("+3.5e3").picBarH.top, 3500);
}

TEST(LayoutTest, UnitsAndNumberText) {
    EXPECT_EQ(twipsToPixels(15, 96), 1);
    EXPECT_EQ(pixelsToTwips(1, 96), 15);
    EXPECT_EQ(twipsToPixels(1440, 144), 144);
    EXPECT_EQ(pixelsToTwips(twipsToPixels(3500, 120), 120), 3500);

    EXPECT_EQ(singleText(3000), "3000");
    EXPECT_EQ(singleText(1234.5), "1234.5");
    EXPECT_EQ(singleText(0.1), "0.1");
    EXPECT_EQ(singleText(-15000), "-15000");
    EXPECT_EQ(singleText(-0.0), "0");
    EXPECT_EQ(singleText(1.0 / 3), "0.33333334") << "single precision, not double";
    // What shutdown writes, load reads back to the same place.
    for (double v : {3500.0, 1234.5, 0.0, 3499.75, 16777217.0}) {
        MainLayout l = MainLayout::initial();
        std::string error;
        formResize(l, 1e9, 1e9, singleText(v), error);
        EXPECT_EQ(static_cast<float>(l.picBarH.top), static_cast<float>(v)) << v;
    }
}

} // namespace
