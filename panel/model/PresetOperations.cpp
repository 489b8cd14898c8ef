// The main view's preset operations: the snapshot of the current state, applying, stepping,
// SAVE, SAVE AS with its name dialog, overwrite and delete, over the preset store.

#include "panel/model/MainViewModel.h"

#include "effect/ParameterSpecs.h"
#include "panel/model/Text.h"
#include "platform/foundation/Trimming.h"
#include "platform/foundation/UUID.h"

#include <algorithm>

namespace {

AUValue boolValue(bool on) { return on ? 1.0f : 0.0f; }

}  // namespace

std::shared_ptr<ObservableAUParameter> Kessrin_VinylExtensionMainView::globalParameter(const std::string& id) const {
    return parameterTree ? parameterTree->globalParameter(id) : nullptr;
}

std::shared_ptr<ObservableAUParameter> Kessrin_VinylExtensionMainView::topParameter(const std::string& id) const {
    return parameterTree ? parameterTree->parameter(id) : nullptr;
}

void Kessrin_VinylExtensionMainView::loadUserPresets() {
    if (hasLoadedPresets) return;
    hasLoadedPresets = true;
    takeStoreResult(presetStore_.load(), std::nullopt);
}

const StoredPreset* Kessrin_VinylExtensionMainView::selectedPresetRecord() const {
    if (!selectedPresetID) return nullptr;
    const auto found = std::find_if(presets.begin(), presets.end(),
                                    [this](const StoredPreset& p) { return p.id == *selectedPresetID; });
    return found == presets.end() ? nullptr : &*found;
}

std::optional<std::size_t> Kessrin_VinylExtensionMainView::selectedPreset() const {
    const StoredPreset* selected = selectedPresetRecord();
    if (!selected) return std::nullopt;
    return static_cast<std::size_t>(selected - presets.data());
}

std::string Kessrin_VinylExtensionMainView::currentPresetName() const {
    const StoredPreset* selected = selectedPresetRecord();
    return selected ? selected->name : "UNSAVED";
}

std::optional<StoredPreset> Kessrin_VinylExtensionMainView::captureCurrentPreset(const std::string& name,
                                                                                 const std::string& id) const {
    const auto knobs = effectKnobParameters();
    if (!knobs) return std::nullopt;
    StoredPreset preset;
    preset.id = id;
    preset.name = name;
    for (std::size_t i = 0; i < effects.size(); ++i) {
        const auto saved = savedValues.find(static_cast<int>(i));
        preset.effectValues.push_back(saved != savedValues.end()
                                          ? saved->second
                                          : std::vector<float>(effects[i].defaults.begin(), effects[i].defaults.end()));
    }
    // The effect as the panel shows it: a mode outside the table reads as its nearest row.
    const std::size_t current = effectRowIndex(effectMode(), effects.size());
    if (!effects.empty()) preset.effectValues[current] = {(*knobs)[0]->value(), (*knobs)[1]->value(), (*knobs)[2]->value()};
    preset.selectedEffect = static_cast<int64_t>(current);
    const auto output = topParameter("outputLevel");
    preset.outputLevel = output ? output->value() : PresetValueRanges::outputLevel.defaultValue;
    const auto mono = globalParameter("monoSumOn");
    preset.monoSumEnabled = mono && mono->value() >= 0.5f;
    preset.hissOn = isHissOn();
    const auto hissLevel = globalParameter("hissLevel");
    preset.hissLevel = hissLevel ? hissLevel->value() : PresetValueRanges::hissLevel.defaultValue;
    const auto amFm = globalParameter("amFmMode");
    preset.amFmMode = amFm ? amFm->value() : PresetValueRanges::amFmMode.defaultValue;
    return sanitizedPreset(std::move(preset), effects);
}

bool Kessrin_VinylExtensionMainView::hasUnsavedChanges() const {
    const StoredPreset* selected = selectedPresetRecord();
    if (!selected) return true;
    const auto snapshot = captureCurrentPreset(selected->name, selected->id);
    return !snapshot || !(*snapshot == *selected);
}

void Kessrin_VinylExtensionMainView::applyPreset(const StoredPreset& preset) {
    if (preset.selectedEffect < 0 || static_cast<std::size_t>(preset.selectedEffect) >= effects.size() ||
        preset.effectValues.size() != effects.size()) {
        return;
    }
    writePresetValues(preset);
    selectedPresetID = preset.id;
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::writePresetValues(const StoredPreset& preset) {
    savedValues.clear();
    for (std::size_t i = 0; i < preset.effectValues.size(); ++i) savedValues[static_cast<int>(i)] = preset.effectValues[i];
    setMonoSum(preset.monoSumEnabled);
    if (auto p = globalParameter("hissOn")) p->setValue(boolValue(preset.hissOn));
    if (auto p = globalParameter("hissLevel")) p->setValue(preset.hissLevel);
    if (auto p = globalParameter("amFmMode")) p->setValue(preset.amFmMode);
    if (auto p = topParameter("outputLevel")) p->setValue(preset.outputLevel);
    if (auto p = globalParameter("effectMode")) p->setValue(static_cast<AUValue>(preset.selectedEffect));
    // The knobs show the selected effect's values; without an effects table they stay where they
    // are, and a stored list shorter than three leaves the knobs it lacks where they are.
    const auto selected = static_cast<std::size_t>(preset.selectedEffect);
    if (selected >= preset.effectValues.size()) return;
    const std::vector<float>& values = preset.effectValues[selected];
    const std::array<const char*, 3> knobs{"compressor", "crackle", "wowFlutter"};
    for (std::size_t k = 0; k < knobs.size() && k < values.size(); ++k) {
        if (auto p = topParameter(knobs[k])) p->setValue(values[k]);
    }
}

void Kessrin_VinylExtensionMainView::setMonoSum(bool on) {
    monoSumDisplayEnabled = on;
    if (auto p = globalParameter("monoSumOn")) {
        if (p->editingState() != EditingState::began) p->setEditingState(EditingState::began);
        p->setValue(boolValue(on));
        p->onEditingChanged(false);
    }
    if (audioUnit) {
        if (const auto tree = audioUnit->parameterTree()) {
            if (const auto p = tree->parameterWithAddress(ParameterAddress::monoSumOn)) p->setValue(boolValue(on));
        }
    }
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::toggleMonoSum() { setMonoSum(!monoSumDisplayEnabled); }

void Kessrin_VinylExtensionMainView::resetToDefaults() {
    writePresetValues(defaultPreset(effects));
    selectedPresetID.reset();
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::takeStoreResult(PresetStore::Result result,
                                                     const std::optional<std::string>& select) {
    // A write that failed leaves the list as the file holds it; a file that could not be read at
    // all says nothing about the list, which then stays as it was. The selection moves only to a
    // preset that is really there.
    if (!result.error || !result.presets.empty()) presets = std::move(result.presets);
    if (select && std::any_of(presets.begin(), presets.end(), [&](const StoredPreset& p) { return p.id == *select; })) {
        selectedPresetID = select;
    }
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::saveSelectedPreset() {
    const StoredPreset* selected = selectedPresetRecord();
    if (!selected) return;
    const auto snapshot = captureCurrentPreset(selected->name, selected->id);
    if (!snapshot) return;
    takeStoreResult(presetStore_.overwrite(*snapshot), snapshot->id);
}

void Kessrin_VinylExtensionMainView::beginSaveAs() {
    const StoredPreset* selected = selectedPresetRecord();
    presetDraftName = selected ? selected->name : "Preset " + std::to_string(presets.size() + 1);
    beginTextEditing(presetDraftName, presetDraftField);
    activePresetDialog = PresetDialogMode::saveAs;
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::confirmPresetDialog() {
    if (!activePresetDialog) return;
    if (*activePresetDialog == PresetDialogMode::saveAs) {
        const std::string name(trimmedOfWhitespaceAndNewlines(presetDraftName));
        // The names to match are those stored now, other panels' included.
        takeStoreResult(presetStore_.load(), std::nullopt);
        for (const StoredPreset& preset : presets) {
            if (equalIgnoringCaseAndDiacritics(preset.name, name)) {
                pendingOverwritePresetID = preset.id;
                activePresetDialog = PresetDialogMode::confirmOverwrite;
                notifyChanged();
                return;
            }
        }
        commitSaveAs(name);
    } else if (pendingOverwritePresetID) {
        overwritePreset(*pendingOverwritePresetID, presetDraftName);
    }
    pendingOverwritePresetID.reset();
    activePresetDialog.reset();
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::cancelPresetDialog() {
    pendingOverwritePresetID.reset();
    activePresetDialog.reset();
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::commitSaveAs(std::string_view name) {
    const std::string trimmedName(trimmedOfWhitespaceAndNewlines(name));
    if (trimmedName.empty()) return;
    const auto snapshot = captureCurrentPreset(trimmedName, newUUIDString());
    if (!snapshot) return;
    takeStoreResult(presetStore_.add(*snapshot), snapshot->id);
}

void Kessrin_VinylExtensionMainView::overwritePreset(const std::string& id, std::string_view name) {
    const std::string trimmedName(trimmedOfWhitespaceAndNewlines(name));
    if (trimmedName.empty()) return;
    const auto snapshot = captureCurrentPreset(trimmedName, id);
    if (!snapshot) return;
    // The store puts it in the old one's place, or appends it when that one is gone.
    takeStoreResult(presetStore_.overwrite(*snapshot), id);
}

void Kessrin_VinylExtensionMainView::deleteSelectedPreset() {
    const StoredPreset* selected = selectedPresetRecord();
    if (!selected) return;
    const std::string id = selected->id;
    takeStoreResult(presetStore_.remove(id), std::nullopt);
    // A delete that could not be written leaves the preset, the selection and the controls.
    if (!selectedPreset()) resetToDefaults();
    showPresetChooser = false;
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::stepPreset(int step) {
    const auto count = static_cast<int64_t>(presets.size());
    if (count == 0) return;
    const auto selected = selectedPreset();
    int64_t target = selected ? static_cast<int64_t>(*selected) + step : (step < 0 ? count - 1 : 0);
    // A preset that cannot be applied is passed over, so stepping never sticks on it.
    for (int64_t tried = 0; tried < count; ++tried, target += step < 0 ? -1 : 1) {
        const StoredPreset preset = presets[static_cast<std::size_t>(((target % count) + count) % count)];
        applyPreset(preset);
        if (selectedPresetID == preset.id) return;
    }
}

void Kessrin_VinylExtensionMainView::choosePreset(std::size_t index) {
    if (index < presets.size()) {
        const StoredPreset preset = presets[index];
        applyPreset(preset);
    }
    showPresetChooser = false;
    notifyChanged();
}

void Kessrin_VinylExtensionMainView::setPresetChooserShown(bool shown) {
    if (shown) {
        takeStoreResult(presetStore_.load(), std::nullopt);
        presetListScrollOffset = 0;
    }
    showPresetChooser = shown;
    notifyChanged();
}

bool Kessrin_VinylExtensionMainView::canConfirmPresetDialog() const {
    if (!activePresetDialog) return false;
    return *activePresetDialog == PresetDialogMode::confirmOverwrite || !trimmedOfWhitespaceAndNewlines(presetDraftName).empty();
}

std::string Kessrin_VinylExtensionMainView::presetDialogMessage() const {
    return "A preset named \"" + presetDraftName + "\" already exists.";
}

std::string Kessrin_VinylExtensionMainView::presetDialogTitle(PresetDialogMode mode) {
    return uppercased(mode == PresetDialogMode::saveAs ? "Save Preset" : "Overwrite Ok?");
}

std::string Kessrin_VinylExtensionMainView::presetDialogConfirmTitle(PresetDialogMode mode) {
    return uppercased(mode == PresetDialogMode::saveAs ? "Save" : "Overwrite");
}
