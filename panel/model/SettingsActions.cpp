// The gear, the settings overlay's controls and the AM/FM switch. None of these opens an editing
// gesture: each sets its parameter with a plain value event.

#include "panel/model/MainViewModel.h"

#include "platform/os/Log.h"

namespace {

const OSLog& settingsLog() {
    static const OSLog log("com.marlowen.Kessrin-VinylExtension", "Settings");
    return log;
}

}  // namespace

void Kessrin_VinylExtensionMainView::openSettings() {
    const auto context = audioUnit ? audioUnit->contextName() : std::nullopt;
    if (context == "standalone") {
        // The standalone application opens its own settings sheet when it hears this.
        Error error;
        const bool posted = notificationPoster_ ? notificationPoster_->post(kShowSettingsNotification, &error)
                                                : notify_post(kShowSettingsNotification, &error);
        if (!posted) settingsLog().error("Cannot ask for the settings: " + error.description());
        return;
    }
    showPluginSettings = true;
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::closeSettings() {
    showPluginSettings = false;
    notifyChanged();
}

bool Kessrin_VinylExtensionMainView::isHissOn() const {
    const auto hiss = globalParameter("hissOn");
    return hiss && hiss->value() >= 0.5f;
}

void Kessrin_VinylExtensionMainView::setHissOn(bool on) {
    // Sent even when it already holds that value.
    if (auto hiss = globalParameter("hissOn")) hiss->setValue(on ? 1.0f : 0.0f);
    notifyChanged();
}

float Kessrin_VinylExtensionMainView::hissLevelForSlider() const {
    const auto level = globalParameter("hissLevel");
    return level ? level->value() : PresetValueRanges::hissLevel.defaultValue;
}

void Kessrin_VinylExtensionMainView::setHissLevel(float level) {
    if (auto p = globalParameter("hissLevel")) p->setValue(level);
}

bool Kessrin_VinylExtensionMainView::isAmFmModeFM() const {
    const auto amFm = globalParameter("amFmMode");
    return amFm && !(amFm->value() < 0.5f);
}

void Kessrin_VinylExtensionMainView::toggleAmFmMode() {
    if (auto amFm = globalParameter("amFmMode")) amFm->setValue(amFm->value() < 0.5f ? 1.0f : 0.0f);
}

std::string_view Kessrin_VinylExtensionMainView::makerSiteURL() { return "https://marlowen.com/"; }

std::string_view Kessrin_VinylExtensionMainView::makerSiteHost() { return "marlowen.com"; }

bool Kessrin_VinylExtensionMainView::openMakerSite() const {
    Error error;
    const NSWorkspace& workspace = workspace_ ? *workspace_ : NSWorkspace::sharedWorkspace();
    if (workspace.openURL(makerSiteURL(), &error)) return true;
    settingsLog().error("Cannot open the maker's site: " + error.description());
    return false;
}
