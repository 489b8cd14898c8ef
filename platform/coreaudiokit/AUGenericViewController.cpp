#include "platform/coreaudiokit/AUGenericViewController.h"

#include "platform/dispatch/DispatchQueue.h"

#include <algorithm>

namespace {

std::string groupPath(const AUParameterNode& node) {
    std::string path;
    for (const AUParameterGroup* group = node.parentNode(); group != nullptr && group->parentNode() != nullptr;
         group = group->parentNode())
        path = path.empty() ? group->displayName() : group->displayName() + " / " + path;
    return path;
}

GenericParameterRow rowFor(const AUParameter& parameter) {
    GenericParameterRow row;
    row.group = groupPath(parameter);
    row.identifier = parameter.identifier();
    row.name = parameter.displayName();
    row.address = parameter.address();
    row.minValue = parameter.minValue();
    row.maxValue = parameter.maxValue();
    row.value = parameter.value();
    row.valueText = parameter.stringFromValue(&row.value);
    if (parameter.unit() == kAudioUnitParameterUnit_Boolean) {
        row.kind = GenericParameterRow::Kind::toggle;
    } else if (parameter.unit() == kAudioUnitParameterUnit_Indexed && parameter.valueStrings()) {
        row.kind = GenericParameterRow::Kind::menu;
        row.items = *parameter.valueStrings();
    }
    return row;
}

void updateRow(std::vector<GenericParameterRow>& rows, const AUParameterTree& tree, AUParameterAddress address,
               AUValue value) {
    for (auto& row : rows) {
        if (row.address != address) continue;
        row.value = value;
        if (const auto parameter = tree.parameterWithAddress(address)) row.valueText = parameter->stringFromValue(&value);
    }
}

}  // namespace

AUGenericViewController::AUGenericViewController() = default;

AUGenericViewController::~AUGenericViewController() { stopObserving(); }

void AUGenericViewController::stopObserving() {
    if (state_->tree && token_ != 0) state_->tree->removeParameterObserver(token_);
    token_ = 0;
}

void AUGenericViewController::setAuAudioUnit(std::shared_ptr<AUAudioUnit> unit) {
    stopObserving();
    unit_ = std::move(unit);
    // A fresh state: updates queued for the previous unit land on the old one and vanish.
    state_ = std::make_shared<State>();
    state_->tree = unit_ ? unit_->parameterTree() : nullptr;
    if (!state_->tree) return;
    for (const auto& parameter : state_->tree->allParameters()) state_->rows.push_back(rowFor(*parameter));
    std::weak_ptr<State> weak = state_;
    token_ = state_->tree->tokenByAddingParameterObserver([weak](AUParameterAddress address, AUValue value) {
        MainQueue::async([weak, address, value] {
            if (auto state = weak.lock()) updateRow(state->rows, *state->tree, address, value);
        });
    });
    if (isViewLoaded()) viewDidLoad();
}

void AUGenericViewController::setValue(std::size_t index, AUValue value) {
    if (index >= state_->rows.size() || !state_->tree) return;
    GenericParameterRow& row = state_->rows[index];
    value = std::clamp(value, row.minValue, row.maxValue);
    if (row.kind == GenericParameterRow::Kind::toggle) value = value >= 0.5f ? 1.0f : 0.0f;
    if (const auto parameter = state_->tree->parameterWithAddress(row.address)) {
        parameter->setValue(value, token_);
        updateRow(state_->rows, *state_->tree, row.address, value);
    }
}

void AUGenericViewController::viewDidLoad() {
    std::size_t lines = state_->rows.size();
    std::string lastGroup;
    for (const auto& row : state_->rows) {
        if (!row.group.empty() && row.group != lastGroup) ++lines;  // a heading per group
        lastGroup = row.group;
    }
    const CGSize size{kWidth, 2 * kMargin + kRowHeight * static_cast<double>(std::max<std::size_t>(lines, 1))};
    setPreferredContentSize(size);
    setViewSize(size);
}
