#include "studio/window/EffectViewHost.h"

#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"
#include "platform/coreaudiokit/AUGenericViewController.h"
#include "studio/Console.h"
#include "studio/ui/Drawing.h"
#include "studio/window/CairoSurface.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

namespace tolvane::studio {

namespace {

// An empty window in the effect area that the effect's process puts its view into.
class RemoteViewHost final : public EffectViewHost, public SurfaceDelegate {
public:
    RemoteViewHost(DGL::Application& app, uintptr_t parent, std::shared_ptr<remote::RemoteViewController> view,
                   std::shared_ptr<AUViewController> controller, const Rect& frame)
        : view_(std::move(view)), controller_(std::move(controller)), frame_(frame) {
        surface_ = std::make_unique<CairoSurface>(app, parent, *this, frame_);
        view_->loadViewIfNeeded();
        view_->embedInParentWindow(surface_->nativeWindowHandle(), [](std::optional<uint64_t> window, Error error) {
            if (!window) printLine("Tolvane: Could not show the effect's view: " + error.description());
        });
    }
    ~RemoteViewHost() override { view_->removeFromParentWindow(); }

    const std::shared_ptr<AUViewController>& controller() const override { return controller_; }
    void setFrame(const Rect& frame) override {
        if (frame == frame_) return;
        frame_ = frame;
        surface_->setFrame(frame_);
    }
    void idle() override {}
    void draw(cairo_t* cr, double width, double height) override {
        fillRect(cr, Rect{0, 0, width, height}, StudioStyle::windowBackground);
    }

private:
    std::shared_ptr<remote::RemoteViewController> view_;
    std::shared_ptr<AUViewController> controller_;
    Rect frame_;
    std::unique_ptr<CairoSurface> surface_;
};

constexpr double kNameWidth = 150;
constexpr double kValueWidth = 90;
constexpr double kFontSize = 12;

// The platform's generic view drawn here: a heading per group and one row per parameter, a
// slider, a switch or a menu (each click picks the next entry).
class GenericViewHost final : public EffectViewHost, public SurfaceDelegate {
public:
    GenericViewHost(DGL::Application& app, uintptr_t parent, const StudioResources& resources,
                    std::shared_ptr<AUGenericViewController> view, const Rect& frame)
        : resources_(resources), view_(std::move(view)), controller_(view_), frame_(frame) {
        view_->loadViewIfNeeded();
        surface_ = std::make_unique<CairoSurface>(app, parent, *this, frame_);
    }

    const std::shared_ptr<AUViewController>& controller() const override { return controller_; }
    void setFrame(const Rect& frame) override {
        if (frame == frame_) return;
        frame_ = frame;
        surface_->setFrame(frame_);
    }
    void idle() override {
        std::string shown;
        for (const auto& row : view_->rows()) shown += row.valueText + "|";
        if (shown == shown_) return;
        shown_ = std::move(shown);
        surface_->repaint();
    }

    void draw(cairo_t* cr, double width, double height) override {
        const BundleFonts& fonts = resources_.fonts();
        const TextMetrics& metrics = resources_.metrics();
        fillRect(cr, Rect{0, 0, width, height}, Rgba::grey(0.16));
        useUnroundedTextMetrics(cr);
        const double lineHeight = metrics.lineHeight(StudioFonts::system, kFontSize);
        for (const Line& line : lines(width)) {
            const double textTop = line.frame.midY() - lineHeight / 2;
            if (!line.row) {
                drawText(cr, fonts, textRun(metrics, line.heading, StudioFonts::systemBold, kFontSize,
                                            StudioStyle::secondaryText, line.frame.x, textTop));
                continue;
            }
            const GenericParameterRow& row = *line.row;
            drawText(cr, fonts, textRun(metrics, row.name, StudioFonts::system, kFontSize, StudioStyle::primaryText,
                                        line.frame.x, textTop));
            const Rect control = line.control;
            const double fraction = row.maxValue > row.minValue ? (row.value - row.minValue) / (row.maxValue - row.minValue) : 0;
            if (row.kind == GenericParameterRow::Kind::slider) {
                const Rect track{control.x, control.midY() - 2, control.width, 4};
                fillRoundedRect(cr, track, 2, Rgba::grey(0.3));
                fillRoundedRect(cr, Rect{track.x, track.y, track.width * fraction, 4}, 2, StudioStyle::selectionBackground);
                cairo_arc(cr, track.x + track.width * fraction, track.midY(), 6, 0, 2 * M_PI);
                cairo_set_source_rgb(cr, 0.86, 0.86, 0.86);
                cairo_fill(cr);
            } else if (row.kind == GenericParameterRow::Kind::toggle) {
                const bool on = row.value >= 0.5f;
                const Rect pill{control.x, control.midY() - 9, 34, 18};
                fillRoundedRect(cr, pill, 9, on ? StudioStyle::selectionBackground : Rgba::grey(0.3));
                cairo_arc(cr, on ? pill.x + 25 : pill.x + 9, pill.midY(), 7, 0, 2 * M_PI);
                cairo_set_source_rgb(cr, 0.92, 0.92, 0.92);
                cairo_fill(cr);
            }
            drawText(cr, fonts, textRun(metrics, truncatedText(metrics, StudioFonts::system, kFontSize,
                                                               row.kind == GenericParameterRow::Kind::menu
                                                                   ? menuText(row) + " \u25BE"
                                                                   : row.valueText,
                                                               kValueWidth + control.width),
                                        StudioFonts::system, kFontSize, StudioStyle::secondaryText,
                                        row.kind == GenericParameterRow::Kind::menu ? control.x
                                                                                    : control.x + control.width + 12,
                                        textTop));
        }
    }

    void mouse(bool press, double x, double y) override {
        if (!press) {
            dragging_.reset();
            return;
        }
        const auto all = lines(frame_.width);
        for (const Line& line : all) {
            if (!line.row || !line.frame.contains(x, y)) continue;
            const GenericParameterRow& row = *line.row;
            if (row.kind == GenericParameterRow::Kind::toggle) {
                view_->setValue(line.index, row.value >= 0.5f ? 0.0f : 1.0f);
            } else if (row.kind == GenericParameterRow::Kind::menu) {
                const float next = row.value + 1 > row.maxValue ? row.minValue : row.value + 1;
                view_->setValue(line.index, next);
            } else {
                dragging_ = line.index;
                drag(line, x);
            }
            surface_->repaint();
            return;
        }
    }

    void motion(double x, double) override {
        if (!dragging_) return;
        for (const Line& line : lines(frame_.width)) {
            if (line.row && line.index == *dragging_) drag(line, x);
        }
        surface_->repaint();
    }

private:
    struct Line {
        Rect frame;
        Rect control;
        std::string heading;
        const GenericParameterRow* row = nullptr;
        std::size_t index = 0;
    };

    static std::string menuText(const GenericParameterRow& row) {
        const auto i = static_cast<std::size_t>(std::max(0.0f, row.value - row.minValue));
        return i < row.items.size() ? row.items[i] : row.valueText;
    }

    std::vector<Line> lines(double width) const {
        std::vector<Line> out;
        const double m = AUGenericViewController::kMargin, h = AUGenericViewController::kRowHeight;
        double y = m;
        std::string group;
        const auto& rows = view_->rows();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (!rows[i].group.empty() && rows[i].group != group) {
                out.push_back(Line{Rect{m, y, width - 2 * m, h}, {}, rows[i].group, nullptr, 0});
                y += h;
            }
            group = rows[i].group;
            const Rect frame{m, y, width - 2 * m, h};
            const Rect control{m + kNameWidth, y, std::max(40.0, width - 2 * m - kNameWidth - kValueWidth), h};
            out.push_back(Line{frame, control, {}, &rows[i], i});
            y += h;
        }
        return out;
    }

    void drag(const Line& line, double x) {
        const GenericParameterRow& row = *line.row;
        const double fraction = std::clamp((x - line.control.x) / line.control.width, 0.0, 1.0);
        view_->setValue(line.index, static_cast<AUValue>(row.minValue + fraction * (row.maxValue - row.minValue)));
    }

    const StudioResources& resources_;
    std::shared_ptr<AUGenericViewController> view_;
    std::shared_ptr<AUViewController> controller_;
    Rect frame_;
    std::string shown_;
    std::optional<std::size_t> dragging_;
    std::unique_ptr<CairoSurface> surface_;
};

}  // namespace

std::unique_ptr<EffectViewHost> EffectViewHost::make(DGL::Application& app, uintptr_t parentWindow,
                                                     const StudioResources& resources,
                                                     std::shared_ptr<AUViewController> controller, const Rect& frame) {
    if (auto remoteView = std::dynamic_pointer_cast<remote::RemoteViewController>(controller)) {
        return std::make_unique<RemoteViewHost>(app, parentWindow, std::move(remoteView), std::move(controller), frame);
    }
    if (auto generic = std::dynamic_pointer_cast<AUGenericViewController>(controller)) {
        return std::make_unique<GenericViewHost>(app, parentWindow, resources, std::move(generic), frame);
    }
    return nullptr;
}

}  // namespace tolvane::studio
