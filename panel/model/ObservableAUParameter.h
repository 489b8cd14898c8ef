#pragma once

#include "platform/audiotoolbox/AUParameters.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

// The panel's main-thread mirror of a unit's parameter tree. Views read a wrapper's value and
// redraw when it changes; controls write it, and every write leaves for the unit's parameter as
// an automation event carrying the wrapper's own observer token. Changes from elsewhere (the
// host, automation, a restored state) come back through a parameter observer, hop to the main
// queue and are written into the wrapper without being sent back.

enum class EditingState { inactive, began, active, ended, hostUpdate };

class ObservableAUParameterNode {
public:
    virtual ~ObservableAUParameterNode() = default;
};

class ObservableAUParameter final : public ObservableAUParameterNode,
                                    public std::enable_shared_from_this<ObservableAUParameter> {
public:
    // Wraps the parameter and adds its observer. Main thread only, like everything below.
    static std::shared_ptr<ObservableAUParameter> create(const std::shared_ptr<AUParameter>& parameter);
    // Removes the observer, so a mirror that goes away leaves nothing behind on the unit's tree.
    ~ObservableAUParameter() override;

    std::weak_ptr<AUParameter> parameter;
    std::optional<AUParameterObserverToken> observerToken;
    const AUValue min;
    const AUValue max;
    const std::string displayName;
    const AUValue defaultValue = 0;
    const AudioUnitParameterUnit unit;

    AUValue value() const { return value_; }
    // The one way for a control to change the parameter: stores the value (views are told when it
    // differs) and sends it, also when it is equal, as a touch, value or release event depending
    // on the gesture under way.
    void setValue(AUValue newValue);

    EditingState editingState() const { return editingState_; }
    // A control that starts a gesture may set `began` itself; same as onEditingChanged(true).
    void setEditingState(EditingState state) { editingState_ = state; }
    void onEditingChanged(bool editing);

    // A change that came from outside the panel; dropped while a gesture is under way.
    void applyHostUpdate(AUParameterAddress address, AUValue newValue);

    // Called after every change of the shown value (the view's redraw hook).
    void setChangeHandler(std::function<void()> handler) { changed_ = std::move(handler); }

private:
    ObservableAUParameter(const std::shared_ptr<AUParameter>& parameter);
    void sendValueToParameter(AUValue newValue);

    AUValue value_;
    EditingState editingState_ = EditingState::inactive;
    std::function<void()> changed_;
};

class ObservableAUParameterGroup final : public ObservableAUParameterNode {
public:
    // Builds the whole mirror below `group` (the tree itself for the root), depth first. A later
    // child with an identifier already seen replaces the earlier one.
    explicit ObservableAUParameterGroup(const AUParameterGroup& group);

    const std::map<std::string, std::shared_ptr<ObservableAUParameterNode>> children;

    // A top-level parameter by identifier; none when missing or not a parameter.
    std::shared_ptr<ObservableAUParameter> parameter(const std::string& identifier) const;
    // A parameter of the group "global"; none at any failed step.
    std::shared_ptr<ObservableAUParameter> globalParameter(const std::string& identifier) const;

    // Every parameter wrapper at or below this group.
    void forEachParameter(const std::function<void(ObservableAUParameter&)>& visit) const;
};

// The trace line every panel send prints: "Param was set " and the value as the shortest decimal
// text that reads back as the same float, whole numbers with ".0".
std::string paramWasSetLine(AUValue value);
