#pragma once

#include "platform/foundation/Bundle.h"
#include "studio/updates/Updater.h"

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

// The studio's update command behind the application menu: the updater runs only when the
// application's information dictionary names an update feed and a public key, and the command
// is enabled exactly while a check can start. Lives on the main loop.
class AppUpdater {
public:
    // The key a copy carries before its maker has set a real one.
    static constexpr std::string_view kPlaceholderPublicKey = "YOUR_SPARKLE_PUBLIC_ED25519_KEY";

    // Starts the updater when `mainBundle` is configured for updates.
    explicit AppUpdater(const Bundle& mainBundle, UpdaterServices services = {});
    AppUpdater(const AppUpdater&) = delete;
    AppUpdater& operator=(const AppUpdater&) = delete;

    // Whether the bundle names a feed ("SUFeedURL") and a public key ("SUPublicEDKey"), both
    // text that is not blank, the key not the placeholder.
    static bool isConfigured(const Bundle& bundle);

    bool canCheckForUpdates() const { return canCheckForUpdates_; }
    // Called on the main loop after each change of canCheckForUpdates (the menu item redraws).
    void setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

    StandardUpdaterController* updaterController() const { return updaterController_.get(); }

private:
    void setCanCheckForUpdates(bool value);

    bool canCheckForUpdates_ = false;
    std::unique_ptr<StandardUpdaterController> updaterController_;
    std::optional<Updater::Observation> canCheckObservation_;
    std::function<void()> changeHandler_;
};

// The "Check for Updates…" item of the application menu.
struct CheckForUpdatesCommand {
    static constexpr std::string_view kTitle = "Check for Updates\u2026";

    AppUpdater& appUpdater;

    std::string_view title() const { return kTitle; }
    bool isDisabled() const { return !appUpdater.canCheckForUpdates(); }
    // Starts a check; does nothing without an updater.
    void action() const;
};
