#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
    static NSNotificationCenter center;
    return center;
}

NSNotificationCenter::ObserverToken NSNotificationCenter::addObserverForName(std::string name, Block block) {
    auto registration = std::make_shared<Registration>();
    registration->name = std::move(name);
    registration->block = std::move(block);
    std::lock_guard lock(mutex_);
    registration->token = nextToken_++;
    registrations_.push_back(registration);
    return registration->token;
}

void NSNotificationCenter::removeObserver(ObserverToken token) {
    std::shared_ptr<Registration> removed;
    {
        std::lock_guard lock(mutex_);
        const auto found = std::ranges::find_if(registrations_, [token](const auto& r) { return r->token == token; });
        if (found == registrations_.end()) return;
        removed = *found;
        registrations_.erase(found);
    }
    // Waits for a call in flight on another thread; from inside the block itself it returns at once.
    std::lock_guard calling(removed->calling);
    removed->removed = true;
}

void NSNotificationCenter::postNotification(const NSNotification& notification) {
    std::vector<std::shared_ptr<Registration>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& registration : registrations_)
            if (registration->name == notification.name) matching.push_back(registration);
    }
    for (const auto& registration : matching) {
        std::lock_guard calling(registration->calling);
        if (!registration->removed) registration->block(notification);
    }
}
