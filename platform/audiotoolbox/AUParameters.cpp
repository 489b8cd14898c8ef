#include "platform/audiotoolbox/AUParameters.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace {
std::atomic<AUParameterObserverToken> nextObserverToken{1};
}

AUParameterNode::AUParameterNode(std::string identifier, std::string displayName)
    : identifier_(std::move(identifier)), displayName_(std::move(displayName)) {}

AUParameterNode::~AUParameterNode() = default;

AUParameterObserverToken AUParameterNode::tokenByAddingParameterObserver(AUParameterObserver observer) {
    return tokenByAddingParameterAutomationObserver(
        [observer = std::move(observer)](AUParameterAddress address, AUValue value, AUParameterAutomationEventType) {
            observer(address, value);
        });
}

AUParameterObserverToken AUParameterNode::tokenByAddingParameterAutomationObserver(
    AUParameterAutomationObserver observer) {
    const AUParameterObserverToken token = nextObserverToken.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(observersMutex_);
    observers_.push_back({token, std::move(observer)});
    return token;
}

void AUParameterNode::removeParameterObserver(AUParameterObserverToken token) {
    std::lock_guard lock(observersMutex_);
    std::erase_if(observers_, [token](const ObserverEntry& e) { return e.token == token; });
}

void AUParameterNode::notifyObservers(AUParameterAddress address, AUValue value, AUParameterObserverToken originator,
                                      AUParameterAutomationEventType type) const {
    for (const AUParameterNode* node = this; node != nullptr; node = node->parent_) {
        // Copy first so an observer may add or remove observers without deadlocking.
        std::vector<ObserverEntry> snapshot;
        {
            std::lock_guard lock(node->observersMutex_);
            snapshot = node->observers_;
        }
        for (const auto& entry : snapshot) {
            if (entry.token != originator) entry.observer(address, value, type);
        }
    }
}

const AUImplementorValueObserver* AUParameterNode::findValueObserver() const {
    for (const AUParameterNode* node = this; node != nullptr; node = node->parent_)
        if (node->valueObserver_) return &node->valueObserver_;
    return nullptr;
}

const AUImplementorValueProvider* AUParameterNode::findValueProvider() const {
    for (const AUParameterNode* node = this; node != nullptr; node = node->parent_)
        if (node->valueProvider_) return &node->valueProvider_;
    return nullptr;
}

const AUImplementorStringFromValueCallback* AUParameterNode::findStringFromValue() const {
    for (const AUParameterNode* node = this; node != nullptr; node = node->parent_)
        if (node->stringFromValue_) return &node->stringFromValue_;
    return nullptr;
}

AUParameter::AUParameter(std::string identifier, std::string name, AUParameterAddress address, AUValue min,
                         AUValue max, AudioUnitParameterUnit unit, std::optional<std::string> unitName,
                         AudioUnitParameterOptions flags, std::optional<std::vector<std::string>> valueStrings,
                         std::optional<std::vector<int64_t>> dependentParameters)
    : AUParameterNode(std::move(identifier), std::move(name)),
      address_(address),
      minValue_(min),
      maxValue_(max),
      unit_(unit),
      unitName_(std::move(unitName)),
      flags_(flags),
      valueStrings_(std::move(valueStrings)),
      dependentParameters_(std::move(dependentParameters)) {}

AUValue AUParameter::value() const {
    if (parentNode() != nullptr) {
        if (const auto* provider = findValueProvider()) return (*provider)(const_cast<AUParameter&>(*this));
    }
    return storedValue_.load(std::memory_order_relaxed);
}

void AUParameter::setValue(AUValue value) { setValue(value, 0, 0, AUParameterAutomationEventType::value); }

void AUParameter::setValue(AUValue value, AUParameterObserverToken originator) {
    setValue(value, originator, 0, AUParameterAutomationEventType::value);
}

void AUParameter::setValue(AUValue value, AUParameterObserverToken originator, uint64_t /*hostTime*/,
                           AUParameterAutomationEventType eventType) {
    storedValue_.store(value, std::memory_order_relaxed);
    if (parentNode() == nullptr) return;
    if (const auto* observer = findValueObserver()) (*observer)(*this, value);
    notifyObservers(address_, value, originator, eventType);
}

std::string AUParameter::stringFromValue(const AUValue* value) const {
    if (const auto* callback = findStringFromValue()) return (*callback)(const_cast<AUParameter&>(*this), value);
    const AUValue shown = value ? *value : this->value();
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(shown));
    return text;
}

AUParameterGroup::AUParameterGroup(std::string identifier, std::string name,
                                   std::vector<std::shared_ptr<AUParameterNode>> children)
    : AUParameterNode(std::move(identifier), std::move(name)), children_(std::move(children)) {
    for (const auto& child : children_) {
        if (!child) throw std::invalid_argument("parameter group child is null");
        if (child->parent_ != nullptr) throw std::invalid_argument("parameter node already belongs to a group");
        child->parent_ = this;
    }
}

AUParameterGroup::~AUParameterGroup() {
    // Nodes that outlive their group must not point back at it.
    for (const auto& child : children_) child->parent_ = nullptr;
}

std::vector<std::shared_ptr<AUParameter>> AUParameterGroup::allParameters() const {
    std::vector<std::shared_ptr<AUParameter>> out;
    collectParameters(out);
    return out;
}

void AUParameterGroup::collectParameters(std::vector<std::shared_ptr<AUParameter>>& out) const {
    for (const auto& child : children_) {
        if (auto parameter = std::dynamic_pointer_cast<AUParameter>(child)) {
            out.push_back(std::move(parameter));
        } else if (auto group = std::dynamic_pointer_cast<AUParameterGroup>(child)) {
            group->collectParameters(out);
        }
    }
}

std::shared_ptr<AUParameter> AUParameterTree::createParameterWithIdentifier(
    std::string identifier, std::string name, AUParameterAddress address, AUValue min, AUValue max,
    AudioUnitParameterUnit unit, std::optional<std::string> unitName, AudioUnitParameterOptions flags,
    std::optional<std::vector<std::string>> valueStrings, std::optional<std::vector<int64_t>> dependentParameters) {
    return std::make_shared<AUParameter>(std::move(identifier), std::move(name), address, min, max, unit,
                                         std::move(unitName), flags, std::move(valueStrings),
                                         std::move(dependentParameters));
}

std::shared_ptr<AUParameterGroup> AUParameterTree::createGroupWithIdentifier(std::string identifier, std::string name,
                                                               std::vector<std::shared_ptr<AUParameterNode>> children) {
    return std::shared_ptr<AUParameterGroup>(
        new AUParameterGroup(std::move(identifier), std::move(name), std::move(children)));
}

std::shared_ptr<AUParameterTree> AUParameterTree::createTreeWithChildren(std::vector<std::shared_ptr<AUParameterNode>> children) {
    return std::shared_ptr<AUParameterTree>(new AUParameterTree(std::move(children)));
}

AUParameterTree::AUParameterTree(std::vector<std::shared_ptr<AUParameterNode>> children)
    : AUParameterGroup("", "", std::move(children)) {}

std::shared_ptr<AUParameter> AUParameterTree::parameterWithAddress(AUParameterAddress address) const {
    for (auto& parameter : allParameters())
        if (parameter->address() == address) return parameter;
    return nullptr;
}
