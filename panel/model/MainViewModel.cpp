#include "panel/model/MainViewModel.h"

#include "effect/ParameterSpecs.h"

#include <algorithm>

namespace {

struct KnobSlot {
    const char* identifier;
    const char* tickImage;
    double tickScale;
    double tickOffsetWidth;
    double tickOffsetHeight;
};

// Knob 1 always drives `compressor`, knob 2 `crackle`, knob 3 `wowFlutter`; the fourth the output.
constexpr std::array<KnobSlot, 4> kKnobSlots{{
    {"compressor", "ticks", 1.2, 0, 0},
    {"crackle", "ticks", 1.2, 0, 0},
    {"wowFlutter", "ticks", 1.2, 0, 0},
    {"outputLevel", "ticks_white", 1.31, 0.1, 6.0},
}};

}  // namespace

Kessrin_VinylExtensionMainView::Kessrin_VinylExtensionMainView(Arguments a)
    : parameterTree(std::move(a.parameterTree)),
      showSettingsButton(a.showSettingsButton),
      audioUnit(std::move(a.audioUnit)),
      refWidth(a.refWidth),
      refHeight(a.refHeight),
      bundle(std::move(a.bundle)),
      effects(std::move(a.effects)),
      topRowOrder(std::move(a.topRowOrder)),
      bottomRowOrder(std::move(a.bottomRowOrder)),
      presetStore_(a.userDefaults ? std::move(*a.userDefaults) : UserDefaults::standardUserDefaults(), effects),
      notificationPoster_(std::move(a.notificationPoster)),
      workspace_(a.workspace) {
    if (!parameterTree) return;
    const auto mono = parameterTree->globalParameter("monoSumOn");
    parameterTree->forEachParameter([this, mono = mono.get()](ObservableAUParameter& p) {
        if (&p == mono) {
            // However the unit's output mode changes (the host's restored state or automation,
            // another editor, the studio's sheet), MONO/STEREO names it.
            p.setChangeHandler([this, &p] { showMonoSum(p.value() >= 0.5f); });
        } else {
            p.setChangeHandler([this] { notifyChanged(); });
        }
    });
}

Kessrin_VinylExtensionMainView::~Kessrin_VinylExtensionMainView() {
    if (parameterTree) parameterTree->forEachParameter([](ObservableAUParameter& p) { p.setChangeHandler(nullptr); });
}

double Kessrin_VinylExtensionMainView::scaleFor(double width, double height) const {
    return std::min(width / refWidth, height / refHeight);
}

int64_t Kessrin_VinylExtensionMainView::effectMode() const {
    const auto mode = parameterTree ? parameterTree->globalParameter("effectMode") : nullptr;
    return mode ? truncateToInt64(mode->value()) : 0;
}

std::array<std::string, 3> Kessrin_VinylExtensionMainView::knobCaptions() const {
    const int64_t m = effectMode();
    if (m == 5) {
        const auto amFm = parameterTree ? parameterTree->globalParameter("amFmMode") : nullptr;
        if (!amFm || amFm->value() < 0.5f) return radioAMCaptions();
    }
    if (effects.empty()) return {};
    return effects[effectRowIndex(m, effects.size())].labels;
}

std::optional<std::array<KnobView, 4>> Kessrin_VinylExtensionMainView::knobSection(double scale) {
    if (!parameterTree) return std::nullopt;
    const auto captions = knobCaptions();
    std::array<KnobView, 4> knobs;
    for (std::size_t k = 0; k < kKnobSlots.size(); ++k) {
        const KnobSlot& slot = kKnobSlots[k];
        KnobView& knob = knobs[k];
        knob.param = parameterTree->parameter(slot.identifier);
        if (!knob.param) return std::nullopt;
        knob.label = k < 3 ? captions[k] : "VOLUME";
        knob.scale = scale;
        knob.tickImage = slot.tickImage;
        knob.tickScale = slot.tickScale;
        knob.tickOffsetWidth = slot.tickOffsetWidth;
        knob.tickOffsetHeight = slot.tickOffsetHeight;
        knob.state = &knobStates[k];
    }
    return knobs;
}

bool Kessrin_VinylExtensionMainView::isEffectActive(int effectIndex) const { return effectIndex == effectMode(); }

bool Kessrin_VinylExtensionMainView::showsAmFmSwitch() const {
    return !showPluginSettings && effectMode() == 5 && parameterTree && parameterTree->globalParameter("amFmMode");
}

std::optional<std::array<std::shared_ptr<ObservableAUParameter>, 3>>
Kessrin_VinylExtensionMainView::effectKnobParameters() const {
    if (!parameterTree) return std::nullopt;
    std::array<std::shared_ptr<ObservableAUParameter>, 3> knobs{
        parameterTree->parameter("compressor"), parameterTree->parameter("crackle"),
        parameterTree->parameter("wowFlutter")};
    for (const auto& knob : knobs) {
        if (!knob) return std::nullopt;
    }
    return knobs;
}

void Kessrin_VinylExtensionMainView::selectEffect(int effectIndex) {
    const int64_t current = effectMode();
    if (effectIndex == current) return;
    const auto knobs = effectKnobParameters();
    const auto mode = parameterTree ? parameterTree->globalParameter("effectMode") : nullptr;
    if (!knobs || !mode) return;
    // An index outside the table has no defaults: it selects nothing.
    if (effectIndex < 0 || static_cast<std::size_t>(effectIndex) >= effects.size()) return;
    savedValues[static_cast<int>(std::clamp<int64_t>(current, INT32_MIN, INT32_MAX))] = {
        (*knobs)[0]->value(), (*knobs)[1]->value(), (*knobs)[2]->value()};
    mode->setValue(static_cast<AUValue>(effectIndex));
    const auto saved = savedValues.find(effectIndex);
    const auto& defaults = effects[static_cast<std::size_t>(effectIndex)].defaults;
    for (std::size_t k = 0; k < 3; ++k) {
        const bool remembered = saved != savedValues.end() && k < saved->second.size();
        (*knobs)[k]->setValue(remembered ? saved->second[k] : defaults[k]);
    }
    notifyChanged();
}

std::string versionLabelFor(const std::optional<std::string>& shortVersion, const std::optional<std::string>& build) {
    if (shortVersion && build && *shortVersion != *build) return "v" + *shortVersion + " (" + *build + ")";
    if (shortVersion) return "v" + *shortVersion;
    if (build) return "v" + *build;
    return "";
}

std::string Kessrin_VinylExtensionMainView::versionLabel() const {
    return versionLabelFor(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"),
                           bundle.objectForInfoDictionaryKey("CFBundleVersion"));
}

void Kessrin_VinylExtensionMainView::appear() {
    // The display font is loaded from the bundle's font file by the renderer, for this panel only;
    // nothing is registered with the process.
    loadUserPresets();
    syncMonoSumDisplay();
}

void Kessrin_VinylExtensionMainView::syncMonoSumDisplay() {
    std::optional<AUValue> value;
    if (audioUnit) {
        if (const auto tree = audioUnit->parameterTree()) {
            if (const auto p = tree->parameterWithAddress(ParameterAddress::monoSumOn)) value = p->value();
        }
    }
    if (!value && parameterTree) {
        if (const auto p = parameterTree->globalParameter("monoSumOn")) value = p->value();
    }
    const bool enabled = value.value_or(0) >= 0.5f;
    if (enabled != monoSumDisplayEnabled) showMonoSum(enabled);
}

void Kessrin_VinylExtensionMainView::showMonoSum(bool on) {
    monoSumDisplayEnabled = on;
    notifyChanged();
}
