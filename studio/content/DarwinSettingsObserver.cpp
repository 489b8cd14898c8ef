#include "studio/content/DarwinSettingsObserver.h"

#include "studio/Console.h"

namespace tolvane::studio {

DarwinSettingsObserver::DarwinSettingsObserver(Handlers handlers, std::shared_ptr<DarwinNotifyCenter> center)
    : center_(std::move(center)), handlers_(std::move(handlers)) {
    for (const auto& [name, handler] : handlers_) {
        Error error;
        if (!center_->addObserver(this, &DarwinSettingsObserver::callback, name,
                                  NotificationSuspensionBehavior::deliverImmediately, &error)) {
            printLine("Tolvane: Cannot observe " + name + ": " + error.description());
        }
    }
}

DarwinSettingsObserver::~DarwinSettingsObserver() {
    // Waits for a callback in flight, so none runs on this object once it is gone.
    center_->removeEveryObserver(this);
}

void DarwinSettingsObserver::callback(DarwinNotifyCenter*, void* observer, std::string_view name, const void*,
                                      const void*) {
    if (observer == nullptr || name.empty()) return;
    const auto& handlers = static_cast<DarwinSettingsObserver*>(observer)->handlers_;
    const auto found = handlers.find(name);
    if (found != handlers.end() && found->second) found->second();
}

}  // namespace tolvane::studio
