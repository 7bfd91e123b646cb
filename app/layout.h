#pragma once

#include <string>

namespace kb {

// Main-window geometry in twips, the unit the settings keep.
struct Rect {
    double left = 0, top = 0, width = 0, height = 0;
    double bottom() const { return top + height; }
    double right() const { return left + width; }
    bool operator==(const Rect&) const = default;
};

struct MainLayout {
    Rect toolbar, tabMain, fraLabel, txtTo, cmdTo, listView, picBarH, listViewLog, statusBar;
    // The places at creation, for a client area of 6855 x 5445.
    static MainLayout initial();
    bool operator==(const MainLayout&) const = default;
};

inline constexpr double kMinWindowWidth = 4000;
inline constexpr double kMinWindowHeight = 5000;

// Fun_FormResize as arithmetic on a client area of W x H. `barTop` is the splitter's new top as text, or
// empty to keep the history list's height. On a step that fails (a text that is not a number, a size below
// zero) the controls of earlier steps keep their new places, `error` says why, and the result is false.
bool formResize(MainLayout& layout, double clientWidth, double clientHeight, const std::string& barTop,
                std::string& error);

// Twips <-> pixels for a logical DPI (15 twips per pixel at 96 dpi).
double twipsToPixels(double twips, double dpi);
double pixelsToTwips(double pixels, double dpi);
// The shortest decimal text of a single-precision value: 3000 as "3000", 1234.5 as "1234.5".
std::string singleText(double value);

} // namespace kb
