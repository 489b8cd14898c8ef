#include "panel/model/ObservableAUParameter.h"

#include "platform/dispatch/DispatchQueue.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

[[noreturn]] void fatalError(const char* message) {
    std::fprintf(stderr, "Fatal error: %s\n", message);
    std::abort();
}

std::map<std::string, std::shared_ptr<ObservableAUParameterNode>> mirrorChildren(const AUParameterGroup& group) {
    std::map<std::string, std::shared_ptr<ObservableAUParameterNode>> children;
    for (const auto& child : group.children()) {
        std::shared_ptr<ObservableAUParameterNode> wrapper;
        if (auto parameter = std::dynamic_pointer_cast<AUParameter>(child)) {
            wrapper = ObservableAUParameter::create(parameter);
        } else if (auto subgroup = std::dynamic_pointer_cast<AUParameterGroup>(child)) {
            wrapper = std::make_shared<ObservableAUParameterGroup>(*subgroup);
        } else {
            fatalError("Unexpected AUParameterNode subclass");
        }
        children.insert_or_assign(child->identifier(), std::move(wrapper));
    }
    return children;
}

}  // namespace

std::string paramWasSetLine(AUValue value) {
    char digits[64];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    std::string text(digits, result.ptr);
    if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
    return "Param was set " + text;
}

ObservableAUParameter::ObservableAUParameter(const std::shared_ptr<AUParameter>& p)
    : parameter(p),
      min(p->minValue()),
      max(p->maxValue()),
      displayName(p->displayName()),
      unit(p->unit()),
      value_(p->value()) {}

std::shared_ptr<ObservableAUParameter> ObservableAUParameter::create(const std::shared_ptr<AUParameter>& p) {
    std::shared_ptr<ObservableAUParameter> wrapper(new ObservableAUParameter(p));
    // The observer runs on whatever thread set the value: it only queues the update, and holds the
    // wrapper weakly, so an update for a mirror that is gone by then does nothing.
    std::weak_ptr<ObservableAUParameter> weak = wrapper;
    wrapper->observerToken = p->tokenByAddingParameterObserver([weak](AUParameterAddress address, AUValue value) {
        MainQueue::async([weak, address, value] {
            if (auto self = weak.lock()) self->applyHostUpdate(address, value);
        });
    });
    return wrapper;
}

ObservableAUParameter::~ObservableAUParameter() {
    if (!observerToken) return;
    if (auto p = parameter.lock()) p->removeParameterObserver(*observerToken);
}

void ObservableAUParameter::setValue(AUValue newValue) {
    const bool differs = !(newValue == value_);
    value_ = newValue;
    if (differs && changed_) changed_();
    sendValueToParameter(newValue);
}

void ObservableAUParameter::sendValueToParameter(AUValue newValue) {
    if (editingState_ == EditingState::hostUpdate) return;
    auto eventType = AUParameterAutomationEventType::value;
    if (editingState_ == EditingState::began) {
        eventType = AUParameterAutomationEventType::touch;
        editingState_ = EditingState::active;
    } else if (editingState_ == EditingState::ended) {
        eventType = AUParameterAutomationEventType::release;
        editingState_ = EditingState::inactive;
    }
    if (auto p = parameter.lock()) p->setValue(newValue, observerToken.value_or(0), 0, eventType);
    std::cout << paramWasSetLine(newValue) << '\n';
}

void ObservableAUParameter::onEditingChanged(bool editing) {
    if (editing) {
        if (editingState_ != EditingState::began) editingState_ = EditingState::began;
        return;
    }
    if (editingState_ != EditingState::ended) editingState_ = EditingState::ended;
    setValue(value_);
}

void ObservableAUParameter::applyHostUpdate(AUParameterAddress address, AUValue newValue) {
    auto p = parameter.lock();
    if (!p || p->address() != address) return;
    if (editingState_ != EditingState::inactive) return;
    editingState_ = EditingState::hostUpdate;
    setValue(newValue);
    editingState_ = EditingState::inactive;
}

ObservableAUParameterGroup::ObservableAUParameterGroup(const AUParameterGroup& group)
    : children(mirrorChildren(group)) {}

std::shared_ptr<ObservableAUParameter> ObservableAUParameterGroup::parameter(const std::string& identifier) const {
    const auto found = children.find(identifier);
    if (found == children.end()) return nullptr;
    return std::dynamic_pointer_cast<ObservableAUParameter>(found->second);
}

std::shared_ptr<ObservableAUParameter> ObservableAUParameterGroup::globalParameter(const std::string& identifier) const {
    const auto found = children.find("global");
    if (found == children.end()) return nullptr;
    const auto global = std::dynamic_pointer_cast<ObservableAUParameterGroup>(found->second);
    return global ? global->parameter(identifier) : nullptr;
}

void ObservableAUParameterGroup::forEachParameter(const std::function<void(ObservableAUParameter&)>& visit) const {
    for (const auto& [identifier, node] : children) {
        if (auto p = std::dynamic_pointer_cast<ObservableAUParameter>(node)) {
            visit(*p);
        } else if (auto group = std::dynamic_pointer_cast<ObservableAUParameterGroup>(node)) {
            group->forEachParameter(visit);
        }
    }
}
