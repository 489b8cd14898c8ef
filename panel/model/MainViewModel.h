#pragma once

#include "panel/model/EffectsTable.h"
#include "panel/model/KnobModel.h"
#include "panel/model/ObservableAUParameter.h"
#include "panel/model/StoredPreset.h"
#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/foundation/Bundle.h"

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The panel's root: its fields, its view state and the actions of its controls, with no drawing.
// Built afresh by every panel build of the view controller; main thread only.
class Kessrin_VinylExtensionMainView {
public:
    struct Arguments {
        std::shared_ptr<ObservableAUParameterGroup> parameterTree;
        bool showSettingsButton = true;
        std::shared_ptr<AUAudioUnit> audioUnit;
        double refWidth = 672;
        double refHeight = 418;
        Bundle bundle{std::filesystem::path{}};
        std::vector<EffectRow> effects;
        std::vector<int> topRowOrder;
        std::vector<int> bottomRowOrder;
    };

    explicit Kessrin_VinylExtensionMainView(Arguments arguments);
    ~Kessrin_VinylExtensionMainView();
    Kessrin_VinylExtensionMainView(const Kessrin_VinylExtensionMainView&) = delete;
    Kessrin_VinylExtensionMainView& operator=(const Kessrin_VinylExtensionMainView&) = delete;

    const std::shared_ptr<ObservableAUParameterGroup> parameterTree;
    const bool showSettingsButton;
    const std::shared_ptr<AUAudioUnit> audioUnit;
    const double refWidth;
    const double refHeight;
    const Bundle bundle;
    const std::vector<EffectRow> effects;
    const std::vector<int> topRowOrder;
    const std::vector<int> bottomRowOrder;

    // View state. The preset fields are filled by the preset store and its operations.
    std::map<int, std::vector<float>> savedValues;
    bool showPluginSettings = false;
    std::vector<StoredPreset> presets;
    std::optional<std::string> selectedPresetID;
    std::string presetDraftName;
    std::optional<PresetDialogMode> activePresetDialog;
    bool hasLoadedPresets = false;
    bool showPresetChooser = false;
    std::optional<std::string> pendingOverwritePresetID;
    bool monoSumDisplayEnabled = false;
    std::array<KnobState, 4> knobStates;

    // The scale that fits the reference panel into a view of that size.
    double scaleFor(double width, double height) const;

    // The `effectMode` value truncated toward zero; 0 when the parameter is missing.
    int64_t effectMode() const;
    // Captions of knobs 1-3 for the current mode (RADIO in AM shows its own list).
    std::array<std::string, 3> knobCaptions() const;
    // The four knobs at scale s, or none when any of their parameters is missing.
    std::optional<std::array<KnobView, 4>> knobSection(double scale);
    // The button of effect i is lit.
    bool isEffectActive(int effectIndex) const;
    // The AM/FM switch is on the panel.
    bool showsAmFmSwitch() const;

    // The effect buttons' action: keeps the three knob values of the effect being left, switches
    // the mode and brings back the new effect's values (or its defaults on a first visit).
    void selectEffect(int effectIndex);

    // "v1.2 (45)", "v1.2" or "" from the bundle's version keys.
    std::string versionLabel() const;

    // What the panel does each time it appears.
    void appear();
    void syncMonoSumDisplay();

    // Called after any change that alters what the panel shows.
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }
    void notifyChanged() const {
        if (changed_) changed_();
    }

private:
    std::optional<std::array<std::shared_ptr<ObservableAUParameter>, 3>> effectKnobParameters() const;

    std::function<void()> changed_;
};

// The version label from the two version strings (either may be missing).
std::string versionLabelFor(const std::optional<std::string>& shortVersion, const std::optional<std::string>& build);
