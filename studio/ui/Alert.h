#pragma once

#include "panel/layout/PanelLayout.h"
#include "panel/layout/TextMetrics.h"
#include "studio/ui/StudioStyle.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::studio {

// A modal message in the window: a title, a text and its buttons, the last one the default.
// Any button closes it after its action.
struct Alert {
    struct Button {
        std::string title;
        std::function<void()> action;
    };
    std::string title;
    std::string message;
    std::vector<Button> buttons;
};

struct AlertLayout {
    Rect cover;  // the dimmed window content; takes every press
    Rect box;
    TextRun title;
    std::vector<TextRun> messageLines;
    struct ButtonLayout {
        Rect frame;
        TextRun title;
        bool isDefault = false;
    };
    std::vector<ButtonLayout> buttons;  // right to left from the default
};

AlertLayout layoutAlert(const Rect& area, const Alert& alert, const TextMetrics& metrics);
// The index into the alert's buttons at a point.
std::optional<std::size_t> alertButtonAt(const AlertLayout& layout, double x, double y);

}  // namespace tolvane::studio
