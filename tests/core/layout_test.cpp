#include <gtest/gtest.h>

#include "app/layout.h"
#include "app/options.h"
#include "support/test_support.h"

using namespace kb;

namespace {

constexpr double kW = 6855, kH = 5445; // the client area at creation

MainLayout laidOut(const std::string& barTop, double h = kH) {
    MainLayout l = MainLayout::initial();
    std::string error;
    EXPECT_TRUE(formResize(l, kW, h, barTop, error)) << error;
    return l;
}

TEST(LayoutTest, DocumentedFigures) {
    MainLayout l = laidOut("3500");
    EXPECT_EQ(l.tabMain, (Rect{0, 615, kW, 2885}));
    EXPECT_EQ(l.listView, (Rect{20, 1335, kW - 40, 2135}));
    EXPECT_EQ(l.listViewLog.top, 3560);
    EXPECT_EQ(l.picBarH, (Rect{-15000, 3500, 30000, 60}));

    // At creation size the file list ends 30 above the splitter and cmdTo 60 inside the list's right edge.
    MainLayout c = laidOut("");
    EXPECT_EQ(c.picBarH.top - c.listView.bottom(), 30);
    EXPECT_EQ(c.listView.right() - c.cmdTo.right(), 60);
    EXPECT_EQ(laidOut(""), c) << "the empty text twice changes nothing";

    // A taller window gives the height to the file list; the history keeps its own.
    MainLayout tall = laidOut("", kH + 600);
    EXPECT_EQ(tall.listViewLog.height, c.listViewLog.height);
    EXPECT_EQ(tall.listView.height, c.listView.height + 600);
}

TEST(LayoutTest, FailingStepLeavesLaterControls) {
    const MainLayout start = laidOut("3500");
    std::string error;
    MainLayout notNumber = start;
    EXPECT_FALSE(formResize(notNumber, kW, kH, "abc", error));
    EXPECT_EQ(notNumber, start);
    MainLayout high = start; // dropped high on the file list
    EXPECT_FALSE(formResize(high, kW, kH, "1000", error));
    EXPECT_NE(error.find("ListView"), std::string::npos) << error;
    EXPECT_EQ(high.tabMain.height, 385);
    EXPECT_EQ(high.listView, start.listView);
    EXPECT_EQ(high.picBarH.top, 1000);
}

TEST(LayoutTest, NumberText) {
    EXPECT_EQ(singleText(3000), "3000");
    EXPECT_EQ(singleText(1234.5), "1234.5");
    EXPECT_EQ(singleText(1.0 / 3), "0.33333334");
    EXPECT_EQ(singleText(-0.0), "0");
}

// Each key against its own range, the key's default otherwise; names in any case.
TEST(OptionsTest, EachKeyInItsRangeOrItsDefault) {
    test::TempDir dir("kbopt");
    FileSystem files;
    IniFile ini(dir / "Kestrelbox.ini", files);
    test::writeFile(ini.file(), "[option]\r\nsamefile=7\r\nBackupLog=70000\r\nBackupLogMax=2147483647\r\n");
    SharedState state;
    readOptions(ini, state);
    EXPECT_EQ(std::tuple(state.SameFile, state.BackupLog, state.BackupLogMax), std::tuple(7, 1, 2147483647));
}

} // namespace
