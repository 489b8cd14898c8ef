#pragma once

#include "panel/layout/PanelLayout.h"
#include "panel/layout/TextMetrics.h"
#include "studio/ui/StudioStyle.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::studio {

// One command of a menu.
struct MenuItem {
    std::string title;
    std::string shortcut;  // shown at the right end ("Ctrl+Q"); empty for none
    bool enabled = true;
    bool separatorBefore = false;
    std::function<void()> action;
};

// The menu bar along the top of the window: the application menu's title.
struct MenuBarLayout {
    Rect bar;
    Rect titleFrame;  // takes the press that opens the menu
    TextRun title;
};

struct MenuRowLayout {
    Rect frame;
    TextRun title;
    std::optional<TextRun> shortcut;
    bool enabled = true;
};

// An open menu below its title.
struct MenuLayout {
    Rect frame;
    std::vector<MenuRowLayout> rows;  // one per item, in order
    std::vector<Rect> separators;
};

inline constexpr double kMenuBarHeight = 24;

MenuBarLayout layoutMenuBar(double width, std::string_view title, const TextMetrics& metrics);
// The menu with its top-left corner at (x, y).
MenuLayout layoutMenu(double x, double y, const std::vector<MenuItem>& items, const TextMetrics& metrics);
// The row of an enabled item at a point; none elsewhere.
std::optional<std::size_t> enabledMenuRowAt(const MenuLayout& layout, double x, double y);

}  // namespace tolvane::studio
