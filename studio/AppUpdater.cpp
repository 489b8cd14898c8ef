#include "studio/AppUpdater.h"

#include "platform/foundation/Trimming.h"

#include <string>

namespace {

std::string infoText(const Bundle& bundle, std::string_view key) {
    return bundle.objectForInfoDictionaryKey(key).value_or("");
}

}  // namespace

bool AppUpdater::isConfigured(const Bundle& bundle) {
    const std::optional<std::string> feed = bundle.objectForInfoDictionaryKey("SUFeedURL");
    if (!feed || trimmedOfWhitespaceAndNewlines(*feed).empty()) return false;
    const std::optional<std::string> key = bundle.objectForInfoDictionaryKey("SUPublicEDKey");
    if (!key) return false;
    const std::string_view trimmedKey = trimmedOfWhitespaceAndNewlines(*key);
    // The placeholder counts however it is padded.
    return !trimmedKey.empty() && trimmedKey != kPlaceholderPublicKey;
}

AppUpdater::AppUpdater(const Bundle& mainBundle, UpdaterServices services) {
    if (!isConfigured(mainBundle)) return;
    UpdaterConfiguration configuration{
        std::string(trimmedOfWhitespaceAndNewlines(infoText(mainBundle, "SUFeedURL"))),
        infoText(mainBundle, "CFBundleShortVersionString"),
        infoText(mainBundle, "CFBundleVersion"),
    };
    updaterController_ = std::make_unique<StandardUpdaterController>(true, std::move(configuration), std::move(services));
    Updater& updater = updaterController_->updater();
    // Changes arrive on the main loop; the first call, now, takes the updater's current value.
    canCheckObservation_ = updater.observeCanCheckForUpdates(
        [this, &updater] { setCanCheckForUpdates(updater.canCheckForUpdates()); }, /*initial=*/true);
}

void AppUpdater::setCanCheckForUpdates(bool value) {
    if (canCheckForUpdates_ == value) return;
    canCheckForUpdates_ = value;
    if (changeHandler_) changeHandler_();
}

void CheckForUpdatesCommand::action() const {
    if (StandardUpdaterController* controller = appUpdater.updaterController()) controller->checkForUpdates();
}
