#pragma once

#include "platform/audiotoolbox/AudioTypes.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class AUParameter;
class AUParameterGroup;

enum class AUParameterAutomationEventType : uint32_t { value = 0, touch = 1, release = 2 };

// Identifies one registered observer; 0 is never a valid token.
using AUParameterObserverToken = uint64_t;

using AUParameterObserver = std::function<void(AUParameterAddress, AUValue)>;
using AUParameterAutomationObserver =
    std::function<void(AUParameterAddress, AUValue, AUParameterAutomationEventType)>;

// The implementor's hooks, installed on a node and used for every parameter below it.
using AUImplementorValueObserver = std::function<void(AUParameter&, AUValue)>;
using AUImplementorValueProvider = std::function<AUValue(AUParameter&)>;
using AUImplementorStringFromValueCallback = std::function<std::string(AUParameter&, const AUValue*)>;

// A node of a parameter tree: a parameter, a group or the tree itself.
class AUParameterNode {
public:
    virtual ~AUParameterNode();
    AUParameterNode(const AUParameterNode&) = delete;
    AUParameterNode& operator=(const AUParameterNode&) = delete;

    const std::string& identifier() const { return identifier_; }
    const std::string& displayName() const { return displayName_; }
    // The group this node sits in, or none for a root or a node outside any tree.
    AUParameterGroup* parentNode() const { return parent_; }

    // Observers of every parameter at or below this node. They are called on the thread that set
    // the value, for every change except those whose originator is the observer's own token.
    AUParameterObserverToken tokenByAddingParameterObserver(AUParameterObserver observer);
    AUParameterObserverToken tokenByAddingParameterAutomationObserver(AUParameterAutomationObserver observer);
    void removeParameterObserver(AUParameterObserverToken token);

    // Set these before the tree is used on other threads; they apply to this node and below.
    void setImplementorValueObserver(AUImplementorValueObserver observer) { valueObserver_ = std::move(observer); }
    void setImplementorValueProvider(AUImplementorValueProvider provider) { valueProvider_ = std::move(provider); }
    void setImplementorStringFromValueCallback(AUImplementorStringFromValueCallback callback) {
        stringFromValue_ = std::move(callback);
    }
    const AUImplementorValueObserver& implementorValueObserver() const { return valueObserver_; }
    const AUImplementorValueProvider& implementorValueProvider() const { return valueProvider_; }
    const AUImplementorStringFromValueCallback& implementorStringFromValueCallback() const { return stringFromValue_; }

protected:
    AUParameterNode(std::string identifier, std::string displayName);

    // Notifies this node's observers and then its ancestors'.
    void notifyObservers(AUParameterAddress address, AUValue value, AUParameterObserverToken originator,
                         AUParameterAutomationEventType type) const;

    // The nearest installed hook at or above this node (null when none is installed).
    const AUImplementorValueObserver* findValueObserver() const;
    const AUImplementorValueProvider* findValueProvider() const;
    const AUImplementorStringFromValueCallback* findStringFromValue() const;

private:
    friend class AUParameterGroup;

    std::string identifier_;
    std::string displayName_;
    AUParameterGroup* parent_ = nullptr;

    AUImplementorValueObserver valueObserver_;
    AUImplementorValueProvider valueProvider_;
    AUImplementorStringFromValueCallback stringFromValue_;

    struct ObserverEntry {
        AUParameterObserverToken token;
        AUParameterAutomationObserver observer;
    };
    mutable std::mutex observersMutex_;
    std::vector<ObserverEntry> observers_;
};

class AUParameter final : public AUParameterNode {
public:
    AUParameter(std::string identifier, std::string name, AUParameterAddress address, AUValue min, AUValue max,
                AudioUnitParameterUnit unit, std::optional<std::string> unitName, AudioUnitParameterOptions flags,
                std::optional<std::vector<std::string>> valueStrings,
                std::optional<std::vector<int64_t>> dependentParameters);

    AUParameterAddress address() const { return address_; }
    AUValue minValue() const { return minValue_; }
    AUValue maxValue() const { return maxValue_; }
    AudioUnitParameterUnit unit() const { return unit_; }
    const std::optional<std::string>& unitName() const { return unitName_; }
    AudioUnitParameterOptions flags() const { return flags_; }
    const std::optional<std::vector<std::string>>& valueStrings() const { return valueStrings_; }
    const std::optional<std::vector<int64_t>>& dependentParameters() const { return dependentParameters_; }

    // Through the tree's value provider when one is installed, else the last value set. Safe on a
    // real-time thread when the provider is.
    AUValue value() const;

    // Stores the value, hands it to the implementor's value observer and notifies the observers
    // (except `originator`). A parameter outside any tree only stores it.
    void setValue(AUValue value);
    void setValue(AUValue value, AUParameterObserverToken originator);
    void setValue(AUValue value, AUParameterObserverToken originator, uint64_t hostTime,
                  AUParameterAutomationEventType eventType);

    // The implementor's text for the value (or for no value); a plain rendering when none is installed.
    std::string stringFromValue(const AUValue* value) const;

private:
    AUParameterAddress address_;
    AUValue minValue_;
    AUValue maxValue_;
    AudioUnitParameterUnit unit_;
    std::optional<std::string> unitName_;
    AudioUnitParameterOptions flags_;
    std::optional<std::vector<std::string>> valueStrings_;
    std::optional<std::vector<int64_t>> dependentParameters_;
    std::atomic<AUValue> storedValue_{0};
};

class AUParameterGroup : public AUParameterNode {
public:
    ~AUParameterGroup() override;

    const std::vector<std::shared_ptr<AUParameterNode>>& children() const { return children_; }
    // Every parameter below this group, depth first in tree order.
    std::vector<std::shared_ptr<AUParameter>> allParameters() const;

protected:
    AUParameterGroup(std::string identifier, std::string name, std::vector<std::shared_ptr<AUParameterNode>> children);

private:
    friend class AUParameterTree;
    void collectParameters(std::vector<std::shared_ptr<AUParameter>>& out) const;

    std::vector<std::shared_ptr<AUParameterNode>> children_;
};

class AUParameterTree final : public AUParameterGroup {
public:
    static std::shared_ptr<AUParameter> createParameterWithIdentifier(
        std::string identifier, std::string name, AUParameterAddress address, AUValue min, AUValue max,
        AudioUnitParameterUnit unit, std::optional<std::string> unitName, AudioUnitParameterOptions flags,
        std::optional<std::vector<std::string>> valueStrings, std::optional<std::vector<int64_t>> dependentParameters);
    // The children must not sit in another group already.
    static std::shared_ptr<AUParameterGroup> createGroupWithIdentifier(std::string identifier, std::string name,
                                                         std::vector<std::shared_ptr<AUParameterNode>> children);
    static std::shared_ptr<AUParameterTree> createTreeWithChildren(std::vector<std::shared_ptr<AUParameterNode>> children);

    // The parameter with that address (the first in tree order), or none.
    std::shared_ptr<AUParameter> parameterWithAddress(AUParameterAddress address) const;

private:
    explicit AUParameterTree(std::vector<std::shared_ptr<AUParameterNode>> children);
};
