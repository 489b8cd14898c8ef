#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "plugin/ParameterLayout.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace tolvane::plugin {

// Joins the panel's mirror unit to a plug-in host's view of the parameters, by the plug-in's
// parameter index. Panel gestures (touch, value, release events on the mirror's tree, sent by the
// observable parameters) become the host's begin-edit, set-value and end-edit, so hosts record
// automation gestures; the host's changes set the mirror's parameters with no originator, so
// they reach the panel through the main queue. A host that echoes the panel's own values back
// does not move the panel: the host's echo of a value the panel sent is recognised and dropped,
// while a later change of the host's to an equal value is not taken for one.
//
// No plug-in framework in here; the editor glue supplies the three host calls. Main thread only.
class PanelHostBridge {
public:
    struct HostEdits {
        std::function<void(uint32_t index, bool started)> editParameter;
        std::function<void(uint32_t index, float value)> setParameterValue;
    };

    PanelHostBridge(std::shared_ptr<AUAudioUnit> mirror, const ValueNames& valueNames, HostEdits host,
                    std::function<double()> clockSeconds = {});
    ~PanelHostBridge();
    PanelHostBridge(const PanelHostBridge&) = delete;
    PanelHostBridge& operator=(const PanelHostBridge&) = delete;

    // The host's change of parameter `index` (DPF's parameterChanged).
    void hostParameterChanged(uint32_t index, float value);

    // How long a sent value is looked for among the host's changes.
    static constexpr double kEchoSeconds = 1.0;

private:
    struct Sent {
        float value;
        double time;
    };
    // What the panel sent a parameter that the host has not echoed yet, and whether the panel's
    // gesture on it is still under way.
    struct Pending {
        std::deque<Sent> sent;
        bool gesture = false;
    };

    void panelEvent(AUParameterAddress address, AUValue value, AUParameterAutomationEventType type);
    bool isEcho(uint32_t index, float value);

    std::shared_ptr<AUAudioUnit> mirror_;
    ParameterLayout layout_;
    HostEdits host_;
    std::function<double()> clock_;
    AUParameterObserverToken token_ = 0;
    bool applyingHostChange_ = false;
    std::vector<Pending> pending_;
};

}  // namespace tolvane::plugin
