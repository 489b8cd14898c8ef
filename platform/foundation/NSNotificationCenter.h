#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A notification: a name and the object it is about (any copyable value, typically a
// shared_ptr to the sender; empty when there is none).
struct NSNotification {
    std::string name;
    std::any object;
};

// An in-process notification centre. Observers run on the thread that posts, in the order they
// were added. Removing an observer waits for a call of it in flight on another thread, so once
// removeObserver returns the observer is never called again and may free what it uses.
class NSNotificationCenter {
public:
    using ObserverToken = uint64_t;
    using Block = std::function<void(const NSNotification&)>;

    NSNotificationCenter() = default;
    NSNotificationCenter(const NSNotificationCenter&) = delete;
    NSNotificationCenter& operator=(const NSNotificationCenter&) = delete;

    static NSNotificationCenter& defaultCenter();

    // Observes notifications named `name` about any object (the platform's object-nil form;
    // there is no operation queue: the block runs on the posting thread).
    ObserverToken addObserverForName(std::string name, Block block);
    void removeObserver(ObserverToken token);

    void postNotification(const NSNotification& notification);
    void postNotificationName(std::string name, std::any object) {
        postNotification(NSNotification{std::move(name), std::move(object)});
    }

private:
    struct Registration {
        ObserverToken token = 0;
        std::string name;
        Block block;
        // Held while the block runs; recursive so that a block may remove itself.
        std::recursive_mutex calling;
        bool removed = false;
    };

    std::mutex mutex_;
    ObserverToken nextToken_ = 1;
    std::vector<std::shared_ptr<Registration>> registrations_;
};
