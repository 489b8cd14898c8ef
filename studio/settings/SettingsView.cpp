#include "studio/settings/SettingsView.h"

#include "panel/model/MainViewModel.h"
#include "platform/foundation/URL.h"

#include <algorithm>

namespace tolvane::studio {

SettingsView::SettingsView(Binding<bool> useLiveInput, Binding<bool> monoSumOn, Binding<bool> hissOn,
                           Binding<float> hissLevel, std::function<void()> dismiss, bool isStandalone,
                           Services services)
    : useLiveInput_(std::move(useLiveInput)),
      monoSumOn_(std::move(monoSumOn)),
      hissOn_(std::move(hissOn)),
      hissLevel_(std::move(hissLevel)),
      dismiss_(std::move(dismiss)),
      isStandalone_(isStandalone),
      services_(services) {}

void SettingsView::appear() {
    shownUseLiveInput_ = useLiveInput_.get();
    refreshDeviceNames();
}

void SettingsView::update() {
    if (!shownUseLiveInput_) return;
    const bool now = useLiveInput_.get();
    if (now == *shownUseLiveInput_) return;
    shownUseLiveInput_ = now;
    refreshDeviceNames();
}

void SettingsView::refreshDeviceNames() { deviceNames_.refreshDeviceNames(services_.hardware); }

std::string SettingsView::versionString() const {
    return versionLabelFor(services_.mainBundle.objectForInfoDictionaryKey("CFBundleShortVersionString"),
                           services_.mainBundle.objectForInfoDictionaryKey("CFBundleVersion"));
}

std::optional<std::string> SettingsView::infoURL(std::string_view key) const {
    const auto text = services_.mainBundle.objectForInfoDictionaryKey(key);
    if (!text) return std::nullopt;
    const auto url = URL::fromString(*text);
    if (!url || !url->isWeb()) return std::nullopt;
    return url->absoluteString;
}

std::optional<std::string> SettingsView::makerSiteHost() const {
    const auto site = infoURL(kMakerSiteKey);
    if (!site) return std::nullopt;
    return URL::fromString(*site)->host;
}

void SettingsView::moveHissSlider(double value) {
    hissLevel_.set(static_cast<float>(std::clamp(value, 0.0, kHissLevelMaximum)));
}

void SettingsView::rateTolvane() {
    if (const auto page = infoURL(kReviewPageKey)) services_.workspace.openURL(*page);
}

void SettingsView::openMakerSite() {
    if (const auto site = infoURL(kMakerSiteKey)) services_.workspace.openURL(*site);
}

}  // namespace tolvane::studio
