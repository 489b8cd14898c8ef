#pragma once

#include "platform/audiotoolbox/remote/ExtensionService.h"

#include <memory>
#include <string>

namespace DGL {
class Application;
}

namespace tolvane::panel {
class DisplayConnection;
class PanelWindow;
}

namespace tolvane::studio {

// The effect's own panel, shown by the extension inside the host's window: a DGL window over the
// unit this process serves, made a child of the host's X11 window. Without a display there is no
// view, and the host falls back to its generic one.
class PanelViewHost final : public remote::ExtensionViewHost {
public:
    PanelViewHost();
    ~PanelViewHost() override;

    std::optional<CGSize> preferredSize(const std::shared_ptr<AUAudioUnit>& unit) override;
    std::optional<uint64_t> embed(const std::shared_ptr<AUAudioUnit>& unit, uint64_t parent, Error* error) override;
    void remove() override;
    void idle() override;
    void waitForEvents(int wakeFd, std::optional<std::chrono::nanoseconds> timeout) override;

private:
    bool connectDisplay(std::string* reason);

    // Outlives the event loop and its window, which connect on their own.
    std::unique_ptr<panel::DisplayConnection> display_;
    std::unique_ptr<DGL::Application> app_;
    std::unique_ptr<panel::PanelWindow> window_;
};

}  // namespace tolvane::studio
