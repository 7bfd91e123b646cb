#include "app/layout.h"

#include <charconv>
#include <cmath>

#include "app/number_text.h"

namespace kb {
namespace {

std::string negative(const char* control, const char* measure, double value) {
    return std::string(control) + " の" + measure + "が負の値になります (" + singleText(value) + ")";
}

} // namespace

MainLayout MainLayout::initial() {
    MainLayout l;
    l.toolbar = {0, 0, 6855, 615};
    l.tabMain = {15, 645, 6720, 2910};
    l.fraLabel = {60, 960, 1365, 345};
    l.txtTo = {1290, 1005, 4035, 270};
    l.cmdTo = {5550, 990, 810, 300};
    l.listView = {60, 1335, 6420, 2115};
    l.picBarH = {615, 3795, 5775, 60};
    l.listViewLog = {15, 3660, 5550, 1365};
    l.statusBar = {0, 5160, 6855, 285};
    return l;
}

bool formResize(MainLayout& l, double W, double H, const std::string& barTop, std::string& error) {
    error.clear();
    if (!barTop.empty()) {
        const std::optional<float> top = singleNumber(barTop);
        if (!top) {
            error = "数値に変換できません: \"" + barTop + "\"";
            return false;
        }
        l.picBarH.top = *top;
    } else {
        l.picBarH.top = H - l.picBarH.height - l.listViewLog.height - l.statusBar.height;
    }

    const double B = l.toolbar.bottom();
    const double tabHeight = l.picBarH.top - B;
    if (W < 0 || tabHeight < 0) {
        error = W < 0 ? negative("TabMain", "幅", W) : negative("TabMain", "高さ", tabHeight);
        return false;
    }
    l.tabMain = {0, B, W, tabHeight};

    const double listWidth = l.tabMain.width - 40;
    const double listHeight = l.tabMain.height - 750;
    if (listWidth < 0 || listHeight < 0) {
        error =
            listWidth < 0 ? negative("ListView", "幅", listWidth) : negative("ListView", "高さ", listHeight);
        return false;
    }
    l.listView = {20, l.listView.top, listWidth, listHeight};

    const double textWidth = l.listView.width - 2200;
    if (textWidth < 0) {
        error = negative("txtTo", "幅", textWidth);
        return false;
    }
    l.txtTo.width = textWidth;

    l.cmdTo.left = l.txtTo.right() + 60;

    const double logTop = l.picBarH.bottom();
    const double logHeight = H - l.picBarH.top - l.picBarH.height - l.statusBar.height;
    if (logHeight < 0) {
        error = negative("ListViewLog", "高さ", logHeight);
        return false;
    }
    l.listViewLog = {0, logTop, W, logHeight};

    l.picBarH = {-15000, l.tabMain.bottom(), 30000, l.picBarH.height};
    return true;
}

double twipsToPixels(double twips, double dpi) {
    return twips * (dpi > 0 ? dpi : 96) / 1440;
}

double pixelsToTwips(double pixels, double dpi) {
    return pixels * 1440 / (dpi > 0 ? dpi : 96);
}

std::string singleText(double value) {
    float f = static_cast<float>(value);
    if (!std::isfinite(f) || f == 0)
        return "0";
    char buf[64];
    auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, f);
    return ec == std::errc() ? std::string(buf, ptr) : "0";
}

} // namespace kb
