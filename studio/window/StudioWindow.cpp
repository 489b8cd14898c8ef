#include "studio/window/StudioWindow.h"

#include "panel/window/WindowEvents.h"
#include "studio/Console.h"
#include "studio/window/CairoSurface.h"
#include "studio/window/EffectViewHost.h"
#include "studio/window/KeyCommands.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <optional>
#include <string_view>
#include <tuple>

namespace tolvane::studio {

namespace {

constexpr double kSheetMinimumWidth = 600;
constexpr unsigned kKeyEscape = 0x1B;
constexpr unsigned kModifierControl = 1u << 1u;
constexpr std::string_view kControlShortcut = "Ctrl+";  // a menu item's "Ctrl+Q"

Rect local(const Rect& frame) { return Rect{0, 0, frame.width, frame.height}; }

}  // namespace

// An open menu in a child window below its title.
class MenuChild final : public SurfaceDelegate {
public:
    MenuChild(StudioWindow::Parts& parts, std::vector<MenuItem> items);
    void draw(cairo_t* cr, double, double) override;
    void motion(double x, double y) override;
    void mouse(bool press, double x, double y) override;
    void refresh(std::vector<MenuItem> items);
    void remake();

private:
    StudioWindow::Parts& parts_;
    std::vector<MenuItem> items_;
    MenuLayout layout_;
    std::optional<std::size_t> highlighted_;
    std::unique_ptr<CairoSurface> surface_;
};

// The settings sheet in a child window over the whole content.
class SheetChild final : public SurfaceDelegate {
public:
    SheetChild(StudioWindow::Parts& parts, SettingsView& view);
    SettingsView& view() const { return view_; }
    void draw(cairo_t* cr, double width, double height) override;
    void mouse(bool press, double x, double y) override;
    void motion(double x, double y) override;
    void key(unsigned key, unsigned modifiers) override;
    void update(const Rect& frame);
    void remake();
    double naturalHeight() const { return layout_.naturalHeight; }

private:
    void relayout();
    void act(SheetControl control);

    StudioWindow::Parts& parts_;
    SettingsView& view_;
    Rect frame_;
    SettingsSheetLayout layout_;
    SheetControl pressed_ = SheetControl::none;
    bool dragging_ = false;
    std::string shownKey_;
    std::unique_ptr<CairoSurface> surface_;
};

// An alert in a child window over the whole content.
class AlertChild final : public SurfaceDelegate {
public:
    AlertChild(StudioWindow::Parts& parts, Alert alert);
    void draw(cairo_t* cr, double, double) override;
    void mouse(bool press, double x, double y) override;
    void key(unsigned key, unsigned modifiers) override;
    void update(const Rect& frame);
    void remake();

private:
    void choose(std::size_t index);

    StudioWindow::Parts& parts_;
    Alert alert_;
    Rect frame_;
    AlertLayout layout_;
    std::optional<std::size_t> pressed_;
    bool chosen_ = false;  // a button was chosen: the alert is closing and takes no more input
    std::unique_ptr<CairoSurface> surface_;
};

struct StudioWindow::Parts final : SurfaceDelegate {
    Parts(DGL::Application& a, const StudioResources& r, WindowContent& c, std::function<std::vector<MenuItem>()> m,
          double g)
        : app(a), resources(r), renderer(r), content(c), applicationMenu(std::move(m)), margin(g) {}

    const TextMetrics& metrics() const { return resources.metrics(); }
    // The content's area: the window below the menu bar.
    Rect contentArea() const {
        return Rect{0, kMenuBarHeight, static_cast<double>(window->width()),
                    std::max(0.0, static_cast<double>(window->height()) - kMenuBarHeight)};
    }
    uintptr_t handle() const { return window->nativeWindowHandle(); }

    void relayout() {
        menuBar = layoutMenuBar(window->width(), "Tolvane", metrics());
        contentLayout = layoutContent(contentArea(), snapshot, margin, metrics());
    }

    // The window grows to what its content and an open sheet need; it never shrinks by itself.
    void fitWindow() {
        // Never smaller than the first message needs, so the menu always has room.
        double width = std::max(contentLayout.contentSize.width, kMessageMinimumWidth + 2 * margin);
        double height = std::max(contentLayout.contentSize.height, kMessageMinimumHeight + 2 * margin);
        if (sheet) {
            width = std::max(width, kSheetMinimumWidth);
            height = std::max(height, sheet->naturalHeight());
        }
        const auto w = static_cast<unsigned>(std::ceil(width));
        const auto h = static_cast<unsigned>(std::ceil(height + kMenuBarHeight));
        window->setMinimumSize(w, h);
        if (window->width() < w || window->height() < h) {
            window->setSize(std::max(window->width(), w), std::max(window->height(), h));
            relayout();
            window->repaint();
        }
    }

    void draw(cairo_t* cr, double width, double height) override {
        if (static_cast<unsigned>(width) != lastWidth || static_cast<unsigned>(height) != lastHeight) {
            lastWidth = static_cast<unsigned>(width);
            lastHeight = static_cast<unsigned>(height);
            relayout();
        }
        renderer.drawContent(cr, contentLayout, playPressed);
        renderer.drawMenuBar(cr, menuBar, menu != nullptr);
    }

    void mouse(bool press, double x, double y) override {
        if (press && menuBar.titleFrame.contains(x, y)) {
            toggleMenu();
            return;
        }
        if (menu) {
            // A press anywhere else closes the menu and does nothing more.
            if (press) later([this] { closeMenu(); });
            return;
        }
        const bool onPlay = contentLayout.playButton && contentLayout.playButton->contains(x, y);
        if (press) {
            playPressed = onPlay;
        } else {
            if (playPressed && onPlay) content.pressPlay();
            playPressed = false;
        }
        window->repaint();
    }

    void key(unsigned key, unsigned modifiers) override {
        if (key == kKeyEscape && menu) {
            later([this] { closeMenu(); });
            return;
        }
        if ((modifiers & kModifierControl) == 0 || key >= 128) return;
        // The menu's shortcuts ("Ctrl+Q").
        const std::string shortcut = std::string(kControlShortcut) + static_cast<char>(std::toupper(static_cast<int>(key)));
        for (MenuItem& item : applicationMenu()) {
            if (item.enabled && item.shortcut == shortcut && item.action) later(item.action);
        }
    }

    // The menu's shortcuts come here wherever the keyboard is in the window: in the sheet, an
    // alert, or the effect's view, whose process would take them otherwise. The window's
    // connection is known once it has drawn.
    void grabShortcuts() {
        if (shortcutsGrabbed || window->connection() == nullptr) return;
        shortcutsGrabbed = true;
        for (const MenuItem& item : applicationMenu()) {
            if (item.shortcut.size() != kControlShortcut.size() + 1 || !item.shortcut.starts_with(kControlShortcut)) continue;
            if (!grabControlKey(window->connection(), handle(), item.shortcut.back()))
                printLine("Tolvane: The keyboard has no key for " + item.shortcut + "; it works only where the window has the keyboard.");
        }
    }

    void toggleMenu() {
        if (menu) {
            later([this] { closeMenu(); });
        } else {
            menu = std::make_unique<MenuChild>(*this, applicationMenu());
            window->repaint();
        }
    }

    void closeMenu() {
        menu.reset();
        window->repaint();
    }

    // Work that must not run inside the event that asked for it (it may close that event's window).
    void later(std::function<void()> work) { deferred.push_back(std::move(work)); }

    void updateEffectView() {
        const bool showsView = snapshot.effectArea == ContentSnapshot::EffectArea::effectView;
        const auto controller = showsView ? content.effectViewController() : nullptr;
        if (!controller) {
            effect.reset();
            return;
        }
        Rect frame = contentLayout.effectArea;
        if (!effect || effect->controller() != controller) {
            effect.reset();
            effect = EffectViewHost::make(app, handle(), resources, controller, frame);
            restackAboveEffect();
        } else {
            effect->setFrame(frame);
        }
        if (effect) effect->idle();
    }

    // Children made later lie above those made earlier: the menu, sheet and alert go above a
    // newly embedded effect view.
    void restackAboveEffect() {
        if (sheet) sheet->remake();
        if (alert) alert->remake();
        if (menu) menu->remake();
    }

    void updateSheet() {
        SettingsView* view = content.settingsSheet();
        if (!view) {
            sheet.reset();
            return;
        }
        if (!sheet || &sheet->view() != view) {
            sheet.reset();
            sheet = std::make_unique<SheetChild>(*this, *view);
            if (alert) alert->remake();
            if (menu) menu->remake();
        }
        sheet->update(contentArea());
    }

    void showNextAlert() {
        if (alert || alerts.empty()) return;
        alert = std::make_unique<AlertChild>(*this, std::move(alerts.front()));
        alerts.pop_front();
        if (menu) menu->remake();
    }

    void idle() {
        while (!deferred.empty()) {
            auto work = std::move(deferred.front());
            deferred.pop_front();
            work();
        }
        ContentSnapshot now = content.snapshot();
        if (now != snapshot) {
            snapshot = std::move(now);
            relayout();
            window->repaint();
        }
        updateEffectView();
        updateSheet();
        showNextAlert();
        if (alert) alert->update(contentArea());
        if (menu) menu->refresh(applicationMenu());
        fitWindow();
        grabShortcuts();
    }

    DGL::Application& app;
    const StudioResources& resources;
    StudioRenderer renderer;
    WindowContent& content;
    std::function<std::vector<MenuItem>()> applicationMenu;
    double margin;

    std::unique_ptr<CairoSurface> window;
    unsigned lastWidth = 0, lastHeight = 0;
    ContentSnapshot snapshot;
    ContentLayout contentLayout;
    MenuBarLayout menuBar;
    bool playPressed = false;
    bool shortcutsGrabbed = false;
    std::deque<std::function<void()>> deferred;

    std::unique_ptr<EffectViewHost> effect;
    std::unique_ptr<SheetChild> sheet;
    std::unique_ptr<AlertChild> alert;
    std::deque<Alert> alerts;
    std::unique_ptr<MenuChild> menu;
};

// --- the menu

MenuChild::MenuChild(StudioWindow::Parts& parts, std::vector<MenuItem> items) : parts_(parts), items_(std::move(items)) {
    remake();
}

void MenuChild::remake() {
    layout_ = layoutMenu(0, 0, items_, parts_.metrics());
    surface_.reset();
    surface_ = std::make_unique<CairoSurface>(
        parts_.app, parts_.handle(), *this,
        Rect{parts_.menuBar.titleFrame.x, kMenuBarHeight, layout_.frame.width, layout_.frame.height});
}

void MenuChild::refresh(std::vector<MenuItem> items) {
    bool changed = items.size() != items_.size();
    for (std::size_t i = 0; !changed && i < items.size(); ++i) {
        changed = items[i].title != items_[i].title || items[i].enabled != items_[i].enabled;
    }
    items_ = std::move(items);
    if (!changed) return;
    layout_ = layoutMenu(0, 0, items_, parts_.metrics());
    surface_->setSize(static_cast<unsigned>(layout_.frame.width), static_cast<unsigned>(layout_.frame.height));
    surface_->repaint();
}

void MenuChild::draw(cairo_t* cr, double, double) { parts_.renderer.drawMenu(cr, layout_, highlighted_); }

void MenuChild::motion(double x, double y) {
    const auto row = enabledMenuRowAt(layout_, x, y);
    if (row == highlighted_) return;
    highlighted_ = row;
    surface_->repaint();
}

void MenuChild::mouse(bool press, double x, double y) {
    if (press) return;
    const auto row = enabledMenuRowAt(layout_, x, y);
    if (!row) return;
    auto action = items_[*row].action;
    // The menu may be closed before this runs (Escape in the same turn), so only the window's parts
    // are reached from it.
    StudioWindow::Parts& parts = parts_;
    parts.later([&parts, action] {
        parts.closeMenu();
        if (action) action();
    });
}

// --- the sheet

SheetChild::SheetChild(StudioWindow::Parts& parts, SettingsView& view) : parts_(parts), view_(view) {
    frame_ = parts_.contentArea();
    view_.appear();
    relayout();
    remake();
}

void SheetChild::remake() {
    surface_.reset();
    surface_ = std::make_unique<CairoSurface>(parts_.app, parts_.handle(), *this, frame_);
    surface_->focus();
}

void SheetChild::relayout() { layout_ = layoutSettingsSheet(local(frame_), view_, parts_.metrics()); }

void SheetChild::update(const Rect& frame) {
    view_.update();
    // What the sheet shows, read through its bindings each time.
    const std::string key = std::to_string(view_.isStandalone()) + std::to_string(view_.monoSumOn()) +
                            std::to_string(view_.hissOn()) + std::to_string(view_.hissLevel()) + "|" +
                            view_.currentInputDeviceName() + "|" + view_.currentOutputDeviceName() + "|" +
                            std::to_string(frame.width) + "x" + std::to_string(frame.height);
    if (key == shownKey_ && frame == frame_) return;
    shownKey_ = key;
    if (!(frame == frame_)) {
        frame_ = frame;
        surface_->setFrame(frame_);
    }
    relayout();
    surface_->repaint();
}

void SheetChild::draw(cairo_t* cr, double, double) { parts_.renderer.sheet().draw(cr, layout_, pressed_); }

void SheetChild::mouse(bool press, double x, double y) {
    if (parts_.menu) {
        if (press) parts_.later([this] { parts_.closeMenu(); });
        return;
    }
    const SheetControl control = hitTestSheet(layout_, x, y);
    if (press) {
        dragging_ = control == SheetControl::hissSlider;
        pressed_ = dragging_ ? SheetControl::none : control;
        if (dragging_) view_.moveHissSlider(sheetSliderValueAt(layout_, x));
    } else {
        if (!dragging_ && control == pressed_) act(control);
        dragging_ = false;
        pressed_ = SheetControl::none;
    }
    surface_->repaint();
}

void SheetChild::motion(double x, double) {
    if (dragging_) view_.moveHissSlider(sheetSliderValueAt(layout_, x));
}

void SheetChild::key(unsigned key, unsigned) {
    // The platform's own dismissal of a sheet.
    if (key == kKeyEscape) view_.done();
}

void SheetChild::act(SheetControl control) {
    switch (control) {
    case SheetControl::done: view_.done(); break;
    case SheetControl::loop: view_.selectLoop(); break;
    case SheetControl::stereo: view_.selectStereo(); break;
    case SheetControl::mono: view_.selectMono(); break;
    case SheetControl::hissOff: view_.selectHissOff(); break;
    case SheetControl::hissOn: view_.selectHissOn(); break;
    case SheetControl::rate: view_.rateTolvane(); break;
    case SheetControl::makerLink: view_.openMakerSite(); break;
    case SheetControl::hissSlider:
    case SheetControl::none: break;
    }
}

// --- alerts

AlertChild::AlertChild(StudioWindow::Parts& parts, Alert alert) : parts_(parts), alert_(std::move(alert)) {
    frame_ = parts_.contentArea();
    layout_ = layoutAlert(local(frame_), alert_, parts_.metrics());
    remake();
}

void AlertChild::remake() {
    surface_.reset();
    surface_ = std::make_unique<CairoSurface>(parts_.app, parts_.handle(), *this, frame_);
    surface_->focus();
}

void AlertChild::update(const Rect& frame) {
    if (frame == frame_) return;
    frame_ = frame;
    layout_ = layoutAlert(local(frame_), alert_, parts_.metrics());
    surface_->setFrame(frame_);
    surface_->repaint();
}

void AlertChild::draw(cairo_t* cr, double, double) { parts_.renderer.drawAlert(cr, layout_, pressed_); }

void AlertChild::mouse(bool press, double x, double y) {
    const auto button = alertButtonAt(layout_, x, y);
    if (press) {
        pressed_ = button;
    } else {
        if (button && button == pressed_) choose(*button);
        pressed_.reset();
    }
    surface_->repaint();
}

void AlertChild::key(unsigned key, unsigned) {
    if ((key == '\r' || key == '\n') && !alert_.buttons.empty()) choose(alert_.buttons.size() - 1);
    if (key == kKeyEscape && !alert_.buttons.empty()) choose(0);
}

void AlertChild::choose(std::size_t index) {
    if (chosen_) return;
    chosen_ = true;
    auto action = alert_.buttons[index].action;
    StudioWindow::Parts& parts = parts_;
    parts.later([&parts, action] {
        parts.alert.reset();
        if (action) action();
    });
}

// --- the window

StudioWindow::StudioWindow(DGL::Application& app, const StudioResources& resources, WindowContent& content,
                           std::function<std::vector<MenuItem>()> applicationMenu, double margin)
    : parts_(std::make_unique<Parts>(app, resources, content, std::move(applicationMenu), margin)) {
    Parts& p = *parts_;
    p.snapshot = content.snapshot();
    const ContentLayout first = layoutContent(Rect{}, p.snapshot, margin, p.metrics());
    p.window = std::make_unique<CairoSurface>(app, p, static_cast<unsigned>(std::ceil(first.contentSize.width)),
                                              static_cast<unsigned>(std::ceil(first.contentSize.height + kMenuBarHeight)),
                                              "Tolvane");
    p.relayout();
    content.appear();
}

StudioWindow::~StudioWindow() {
    Parts& p = *parts_;
    p.menu.reset();
    p.alert.reset();
    p.sheet.reset();
    p.effect.reset();
    p.content.disappear();
}

void StudioWindow::idle() { parts_->idle(); }

void StudioWindow::waitForEvents(int wakeFd, std::optional<std::chrono::nanoseconds> timeout) {
    panel::waitForWindowEvents(parts_->window->connection(), wakeFd, timeout);
}

void StudioWindow::showAlert(Alert alert) { parts_->alerts.push_back(std::move(alert)); }

void StudioWindow::setCloseHandler(std::function<void()> handler) { parts_->window->setCloseHandler(std::move(handler)); }

}  // namespace tolvane::studio
