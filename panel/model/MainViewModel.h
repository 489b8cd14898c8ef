#pragma once

#include "panel/model/EffectsTable.h"
#include "panel/model/KnobModel.h"
#include "panel/model/ObservableAUParameter.h"
#include "panel/model/PresetStore.h"
#include "panel/model/StoredPreset.h"
#include "panel/model/TextField.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/foundation/Bundle.h"
#include "panel/model/SettingsNotifications.h"
#include "platform/foundation/DarwinNotifyCenter.h"
#include "platform/foundation/UserDefaults.h"

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
        // Where the presets live: the standard user defaults when none is given.
        std::optional<UserDefaults> userDefaults;
        // Where the gear's settings request goes inside the standalone application: the
        // process's notify centre when none is given.
        std::shared_ptr<DarwinNotificationPoster> notificationPoster;
        // What opens the maker's site: the shared workspace when none is given.
        const NSWorkspace* workspace = nullptr;
    };

    static constexpr int kDisplayCellCount = 30;
    // The notification the gear posts inside the standalone application.
    static constexpr std::string_view kShowSettingsNotification = SettingsNotifications::kShowSettingsStandalone;

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
    // State of the controls themselves, kept with the view across redraws.
    std::array<KnobState, 4> knobStates;
    TextFieldState presetDraftField;     // caret and selection of the name field
    double presetListScrollOffset = 0;   // points the chooser's list is scrolled by (at scale 1)

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
    // MONO/STEREO from the unit's value; after that the label follows every change of the
    // mirrored parameter by itself.
    void syncMonoSumDisplay();

    // --- Presets: loading, the current state against the selected preset, and the operations
    // of the preset bar, the chooser and the name dialog. Every change re-reads the stored list,
    // applies itself by preset id and writes it back, so panels in other processes lose nothing.

    // Fills `presets` from the store, once per view.
    void loadUserPresets();
    // The selected preset's name, or "UNSAVED".
    std::string currentPresetName() const;
    // Index of the selected preset in `presets`.
    std::optional<std::size_t> selectedPreset() const;
    // The state differs from the selected preset, or none is selected.
    bool hasUnsavedChanges() const;
    // The current state as a preset of that name and id; none when a knob parameter is missing.
    // Values that are not finite numbers become their defaults, and all are clamped to range.
    std::optional<StoredPreset> captureCurrentPreset(const std::string& name, const std::string& id) const;
    void applyPreset(const StoredPreset& preset);
    // The MONO/STEREO write: one gesture on the observable parameter, then straight to the unit.
    void setMonoSum(bool on);
    void toggleMonoSum();
    void resetToDefaults();
    void saveSelectedPreset();
    void beginSaveAs();
    void confirmPresetDialog();
    void cancelPresetDialog();
    void commitSaveAs(std::string_view name);
    // Replaces the preset of that id; when it has gone meanwhile (deleted here or by another
    // panel), the save goes in as a new preset instead of being lost.
    void overwritePreset(const std::string& id, std::string_view name);
    void deleteSelectedPreset();
    void stepPreset(int step);
    // A chooser row: applies that preset (refused silently when it does not fit) and closes.
    void choosePreset(std::size_t index);
    // Opening the list first takes in what other panels stored meanwhile.
    void setPresetChooserShown(bool shown);
    // The name dialog's confirm button is enabled.
    bool canConfirmPresetDialog() const;
    // The overwrite question, quoting the name as typed.
    std::string presetDialogMessage() const;
    static std::string presetDialogTitle(PresetDialogMode mode);
    static std::string presetDialogConfirmTitle(PresetDialogMode mode);

    // --- The preset display's cells.
    // The name laid out in the cells: centred in all of them when the state is the selected
    // preset's, else in all but the last, which shows "*".
    std::vector<std::string> displayCells(std::string_view name, int cellCount) const;
    static std::vector<std::string> displayCellsFor(std::string_view name, int cellCount, bool dirty);
    // Upper-cased, mapped character by character, cut to `maxLength` characters.
    static std::string displayName(std::string_view name, std::size_t maxLength);
    // "A" to "Z", "0" to "9", "-", "_" and " " stay; any other character becomes "-".
    static std::string displayCharacter(std::string_view character);

    // --- Settings: the gear, the overlay and the AM/FM switch.
    // Inside the standalone application the gear asks it for its settings sheet; anywhere else
    // it opens the panel's own overlay.
    void openSettings();
    void closeSettings();
    bool showsPresetBar() const { return !showPluginSettings; }
    bool showsPresetChooser() const { return !showPluginSettings && showPresetChooser; }
    bool isHissOn() const;
    void setHissOn(bool on);
    // The slider's value: the hiss level, or 40 without the parameter.
    float hissLevelForSlider() const;
    void setHissLevel(float level);
    void toggleAmFmMode();
    bool isAmFmModeFM() const;
    static std::string_view makerSiteURL();
    static std::string_view makerSiteHost();
    // Opens the maker's site in the user's browser; false when that could not be started.
    bool openMakerSite() const;

    // Called after any change that alters what the panel shows.
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }
    void notifyChanged() const {
        if (changed_) changed_();
    }

private:
    std::optional<std::array<std::shared_ptr<ObservableAUParameter>, 3>> effectKnobParameters() const;
    std::shared_ptr<ObservableAUParameter> globalParameter(const std::string& identifier) const;
    std::shared_ptr<ObservableAUParameter> topParameter(const std::string& identifier) const;
    const StoredPreset* selectedPresetRecord() const;
    void showMonoSum(bool on);
    // Every value a preset holds, written to the parameters in a fixed order; the selection and
    // the change notice are the caller's.
    void writePresetValues(const StoredPreset& preset);
    // Takes the store's answer to a change: its list, and the selection when the list holds it.
    void takeStoreResult(PresetStore::Result result, const std::optional<std::string>& select);

    PresetStore presetStore_;
    std::shared_ptr<DarwinNotificationPoster> notificationPoster_;
    const NSWorkspace* workspace_;
    std::function<void()> changed_;
};

// The version label from the two version strings (either may be missing).
std::string versionLabelFor(const std::optional<std::string>& shortVersion, const std::optional<std::string>& build);
