#pragma once

#include "platform/foundation/DarwinNotifyCenter.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tolvane::studio {

// Listens for system-wide settings requests (Darwin notifications, no payload) and runs the
// handler of each name on the notify centre's delivery thread. Handlers must only hand work on
// (to the main queue); they are fixed at construction, so the callback reads them without a lock.
//
// Destroying the observer unregisters every name and waits for a callback in flight, so no
// callback ever reaches an observer that is gone.
class DarwinSettingsObserver {
public:
    using Handlers = std::map<std::string, std::function<void()>, std::less<>>;

    // Registers every name at once. A name the centre refuses is reported on the console and
    // not observed.
    explicit DarwinSettingsObserver(Handlers handlers,
                                    std::shared_ptr<DarwinNotifyCenter> center = DarwinNotifyCenter::getDarwinNotifyCenter());
    ~DarwinSettingsObserver();
    DarwinSettingsObserver(const DarwinSettingsObserver&) = delete;
    DarwinSettingsObserver& operator=(const DarwinSettingsObserver&) = delete;

    // What the centre calls on its delivery thread; `object` and `userInfo` are not used.
    static void callback(DarwinNotifyCenter* center, void* observer, std::string_view name, const void* object,
                         const void* userInfo);

private:
    std::shared_ptr<DarwinNotifyCenter> center_;
    const Handlers handlers_;
};

}  // namespace tolvane::studio
