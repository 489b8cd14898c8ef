#include "panel/window/PanelWindow.h"

#include "panel/window/PanelWidget.h"
#include "panel/window/WindowEvents.h"

namespace tolvane::panel {

namespace {

// The panel, noting the window-system connection it draws through.
class EmbeddedPanelWidget final : public PanelWidget<DGL::CairoTopLevelWidget> {
public:
    using PanelWidget::PanelWidget;
    void* connection() const { return connection_; }

protected:
    void onCairoDisplay(const DGL::CairoGraphicsContext& context) override {
        connection_ = windowConnectionOf(context.handle);
        PanelWidget::onCairoDisplay(context);
    }

private:
    void* connection_ = nullptr;
};

}  // namespace

struct PanelWindow::Parts {
    Parts(DGL::Application& app, uintptr_t parent, double scale, std::shared_ptr<AudioUnitViewController> controller)
        : window(app, parent, scale, true), widget(std::move(controller), window) {
        const auto w = static_cast<unsigned>(AudioUnitViewController::kPanelSize.width * scale);
        const auto h = static_cast<unsigned>(AudioUnitViewController::kPanelSize.height * scale);
        window.setSize(w, h);
        widget.panelView().setPixelsPerPoint(scale);
        window.show();
    }

    DGL::Window window;
    EmbeddedPanelWidget widget;
};

PanelWindow::PanelWindow(DGL::Application& app, uintptr_t parentWindowId, double scaleFactor,
                         std::shared_ptr<AudioUnitViewController> controller)
    : parts_(std::make_unique<Parts>(app, parentWindowId, scaleFactor, std::move(controller))) {}

PanelWindow::~PanelWindow() = default;

void PanelWindow::idle() { parts_->widget.panelIdle(); }

void* PanelWindow::connection() const { return parts_->widget.connection(); }

uintptr_t PanelWindow::nativeWindowHandle() const { return parts_->window.getNativeWindowHandle(); }

void PanelWindow::setSize(unsigned width, unsigned height) { parts_->window.setSize(width, height); }

std::shared_ptr<AudioUnitViewController> requestViewController(const std::shared_ptr<AUAudioUnit>& unit) {
    // A unit that answers only after the queue ran dry writes into the holder, not into this frame.
    auto controller = std::make_shared<std::shared_ptr<AudioUnitViewController>>();
    unit->requestViewControllerWithCompletionHandler([controller](std::shared_ptr<AUViewController> received) {
        *controller = std::dynamic_pointer_cast<AudioUnitViewController>(received);
    });
    while (!*controller && MainQueue::drain() > 0) {
    }
    return *controller;
}

}  // namespace tolvane::panel
