#pragma once

#include "platform/foundation/Error.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What a poster of system-wide notifications needs: the panel's gear posts through this, so
// tests can hand it a recorder instead of the real centre.
class DarwinNotificationPoster {
public:
    virtual ~DarwinNotificationPoster() = default;
    // Delivers `name` (no payload) to every observer of it in every process of this user.
    // Returns false, and fills `error` when given, when the name could not be posted at all.
    virtual bool post(std::string_view name, Error* error = nullptr) = 0;
};

enum class NotificationSuspensionBehavior { drop = 1, coalesce = 2, hold = 3, deliverImmediately = 4 };

// The Darwin notify centre: names without payload, posted by any process of this user and
// delivered to every process that observes them.
//
// Each centre that has observers binds one Unix datagram socket in a per-user folder of mode 0700
// and reads it on one delivery thread of its own, where the callbacks run. Posting sends the name
// to every socket in the folder and removes the sockets nobody listens on any more (left behind by
// a process that died). The folder is $XDG_RUNTIME_DIR/tolvane-notify, or, when that variable is
// unset, tolvane-notify-<uid> in the temporary folder; a folder that is not a real directory owned
// by this user with mode 0700 is refused, since anyone who can write there could post.
class DarwinNotifyCenter final : public DarwinNotificationPoster {
public:
    // Called on the delivery thread. `object` and `userInfo` are always null: Darwin
    // notifications carry no payload.
    using Callback = void (*)(DarwinNotifyCenter* center, void* observer, std::string_view name,
                              const void* object, const void* userInfo);

    static constexpr std::size_t kMaxNameLength = 1024;

    // The process's centre over defaultFolder(), made on first use and kept for the process.
    static std::shared_ptr<DarwinNotifyCenter> getDarwinNotifyCenter();

    // The folder the process's centre uses, read from the environment now.
    static std::filesystem::path defaultFolder();

    // A centre over `folder` (created on first use when missing). Tests give each its own.
    explicit DarwinNotifyCenter(std::filesystem::path folder);
    ~DarwinNotifyCenter() override;
    DarwinNotifyCenter(const DarwinNotifyCenter&) = delete;
    DarwinNotifyCenter& operator=(const DarwinNotifyCenter&) = delete;

    const std::filesystem::path& folder() const;

    // Calls `callback` with `observer` for every later post of `name`. Registering the same
    // observer and name again replaces the callback. The first observer makes the centre bind its
    // socket and start its delivery thread; false (and `error`) when that fails or the name is
    // not a valid one. Deliveries are always immediate, whatever `behavior` says.
    bool addObserver(void* observer, Callback callback, std::string name,
                     NotificationSuspensionBehavior behavior = NotificationSuspensionBehavior::deliverImmediately,
                     Error* error = nullptr);

    // Stops deliveries of `name` to `observer`. When a callback for that observer is running on
    // the delivery thread, waits until it returns, so the observer can be destroyed right after;
    // called from inside a callback it returns at once (the caller is that callback).
    void removeObserver(void* observer, std::string_view name);
    // The same for every name the observer registered.
    void removeEveryObserver(void* observer);

    // Sends `name` to every observing centre of this user, this one included, and removes stale
    // sockets. Never waits: a receiver whose queue is full misses the name (logged once, until it
    // takes a name again).
    bool post(std::string_view name, Error* error = nullptr) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Posts `name` through the process's centre; the caller's form of the Darwin notify call.
bool notify_post(std::string_view name, Error* error = nullptr);
