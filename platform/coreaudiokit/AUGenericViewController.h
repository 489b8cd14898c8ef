#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/coreaudiokit/AUViewController.h"

#include <memory>
#include <string>
#include <vector>

// One control of the generic view: a parameter as a slider, a switch or a menu.
struct GenericParameterRow {
    enum class Kind { slider, toggle, menu };

    std::string group;  // display names of the enclosing groups, joined by " / "; empty at the top
    std::string identifier;
    std::string name;
    AUParameterAddress address = 0;
    Kind kind = Kind::slider;
    AUValue minValue = 0;
    AUValue maxValue = 1;
    AUValue value = 0;
    std::string valueText;           // the unit's own text for the value
    std::vector<std::string> items;  // a menu's entries
};

// The platform's plain view of a unit that offers none of its own: one row per parameter,
// generated from the unit's parameter tree. Edits go to the unit with this view as their
// originator; changes made elsewhere come back through the main queue.
class AUGenericViewController : public AUViewController {
public:
    static constexpr double kWidth = 480;
    static constexpr double kRowHeight = 28;
    static constexpr double kMargin = 12;

    AUGenericViewController();
    ~AUGenericViewController() override;

    // Binds the view to `unit` and builds its rows (none without a tree).
    void setAuAudioUnit(std::shared_ptr<AUAudioUnit> unit);
    const std::shared_ptr<AUAudioUnit>& auAudioUnit() const { return unit_; }

    // Main thread only.
    const std::vector<GenericParameterRow>& rows() const { return state_->rows; }
    // A user's edit of row `index`, clamped to the parameter's range.
    void setValue(std::size_t index, AUValue value);

protected:
    void viewDidLoad() override;

private:
    struct State {
        std::vector<GenericParameterRow> rows;
        std::shared_ptr<AUParameterTree> tree;
    };
    void stopObserving();

    std::shared_ptr<AUAudioUnit> unit_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    AUParameterObserverToken token_ = 0;
};
