#include "plugin/PanelHostBridge.h"

#include <chrono>
#include <cmath>

namespace tolvane::plugin {

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Values a host hands back may have passed through its normalisation.
bool sameValue(float a, float b) { return std::fabs(a - b) <= 1e-5f * std::max(1.0f, std::fabs(a)); }

}  // namespace

PanelHostBridge::PanelHostBridge(std::shared_ptr<AUAudioUnit> mirror, const ValueNames& valueNames, HostEdits host,
                                 std::function<double()> clockSeconds)
    : mirror_(std::move(mirror)), host_(std::move(host)), clock_(clockSeconds ? std::move(clockSeconds) : steadySeconds) {
    const auto tree = mirror_ ? mirror_->parameterTree() : nullptr;
    if (!tree) return;
    layout_ = makeParameterLayout(*tree, valueNames);
    pending_.resize(layout_.parameters.size());
    token_ = tree->tokenByAddingParameterAutomationObserver(
        [this](AUParameterAddress address, AUValue value, AUParameterAutomationEventType type) {
            panelEvent(address, value, type);
        });
}

PanelHostBridge::~PanelHostBridge() {
    if (const auto tree = mirror_ ? mirror_->parameterTree() : nullptr; tree && token_) {
        tree->removeParameterObserver(token_);
    }
}

void PanelHostBridge::panelEvent(AUParameterAddress address, AUValue value, AUParameterAutomationEventType type) {
    if (applyingHostChange_) return;
    for (uint32_t index = 0; index < layout_.parameters.size(); ++index) {
        if (layout_.parameters[index].parameter->address() != address) continue;
        Pending& pending = pending_[index];
        // Noted before the host hears of it: a host may echo from inside the call.
        if (type == AUParameterAutomationEventType::touch) pending.gesture = true;
        pending.sent.push_back({value, clock_()});
        // Bounded: a host that never echoes must not make this grow.
        while (pending.sent.size() > 64) pending.sent.pop_front();
        if (type == AUParameterAutomationEventType::touch && host_.editParameter) host_.editParameter(index, true);
        if (host_.setParameterValue) host_.setParameterValue(index, value);
        if (type == AUParameterAutomationEventType::release) {
            pending.gesture = false;
            if (host_.editParameter) host_.editParameter(index, false);
        }
        return;
    }
}

bool PanelHostBridge::isEcho(uint32_t index, float value) {
    Pending& pending = pending_[index];
    std::deque<Sent>& sent = pending.sent;
    const double now = clock_();
    while (!sent.empty() && now - sent.front().time > kEchoSeconds) sent.pop_front();
    // Echoes come back in the order the values went out. During a drag a host may pass over some
    // of them, so any value sent answers and settles everything before it; once the gesture is
    // over only the oldest value still owed can be an echo. Anything else is the host's own
    // change, even when it equals a value sent earlier, and nothing before it is owed any more.
    const std::size_t candidates = pending.gesture ? sent.size() : std::min<std::size_t>(sent.size(), 1);
    for (std::size_t i = 0; i < candidates; ++i) {
        if (!sameValue(sent[i].value, value)) continue;
        sent.erase(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        return true;
    }
    sent.clear();
    return false;
}

void PanelHostBridge::hostParameterChanged(uint32_t index, float value) {
    if (index >= layout_.parameters.size()) return;
    const HostParameter& parameter = layout_.parameters[index];
    const auto conformed = conformHostValue(parameter, value);
    if (!conformed || isEcho(index, *conformed)) return;
    applyingHostChange_ = true;
    parameter.parameter->setValue(*conformed);
    applyingHostChange_ = false;
}

}  // namespace tolvane::plugin
