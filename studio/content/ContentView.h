#pragma once

#include "panel/model/SettingsNotifications.h"
#include "studio/content/DarwinSettingsObserver.h"
#include "studio/settings/SettingsView.h"
#include "studio/window/StudioWindow.h"

#include <memory>
#include <string_view>

namespace tolvane::studio {

class AudioUnitHostModel;

// The whole content of the application's window: the effect's own view once the host model has
// loaded the effect, the load message until then, the crash notice once the effect's instance was
// invalidated, and the play control. When it first comes on screen it asks the host model to load
// the effect, and while it is on screen it listens for the settings requests that the effect's
// panel posts from its own process, and presents the settings sheet. Main thread only.
class ContentView final : public WindowContent {
public:
    static constexpr std::string_view kShowSettingsStandalone = SettingsNotifications::kShowSettingsStandalone;
    static constexpr std::string_view kShowSettingsPlugin = SettingsNotifications::kShowSettingsPlugin;
    static constexpr std::string_view kShowSettings = SettingsNotifications::kShowSettings;

    ContentView(std::shared_ptr<AudioUnitHostModel> hostModel, double margin, SettingsView::Services sheetServices,
                std::shared_ptr<DarwinNotifyCenter> notifyCenter = DarwinNotifyCenter::getDarwinNotifyCenter());
    ~ContentView() override;

    double margin() const { return margin_; }
    bool showSettings() const { return state_->showSettings; }
    bool settingsTriggeredFromPlugin() const { return state_->settingsTriggeredFromPlugin; }
    bool isObservingSettingsRequests() const { return state_->notificationObserver != nullptr; }

    // Opens the sheet in the plug-in form when `fromPlugin`, else in the standalone form; a sheet
    // already open stays open.
    void presentSettings(bool fromPlugin);

    // WindowContent.
    void appear() override;
    void disappear() override;
    ContentSnapshot snapshot() const override;
    std::shared_ptr<AUViewController> effectViewController() const override;
    void pressPlay() override;
    SettingsView* settingsSheet() override;

private:
    // The view's state, which the notification handlers reach only weakly: a request still on its
    // way to the main queue when the view leaves the screen is dropped.
    struct State {
        bool showSettings = false;
        bool settingsTriggeredFromPlugin = false;
        std::unique_ptr<DarwinSettingsObserver> notificationObserver;
        std::unique_ptr<SettingsView> sheet;
    };

    std::unique_ptr<SettingsView> makeSheet();

    std::shared_ptr<AudioUnitHostModel> hostModel_;
    double margin_;
    SettingsView::Services sheetServices_;
    std::shared_ptr<DarwinNotifyCenter> notifyCenter_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tolvane::studio
