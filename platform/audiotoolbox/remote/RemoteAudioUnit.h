#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/audiotoolbox/AudioComponentManifest.h"
#include "platform/audiotoolbox/remote/ExtensionConnection.h"
#include "platform/audiotoolbox/remote/RemoteRenderSession.h"
#include "platform/coreaudiokit/AUViewController.h"

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace remote {

// A unit served by its component's extension process: the host's stand-in for the unit there.
//
// - Its parameter tree mirrors the extension's (identifiers, names, ranges, groups, flags,
//   values). A value set here reaches the extension's observers; one set there (by its panel,
//   say) reaches the observers here, with its event type, and never comes back as an echo.
//   Values travel as messages, in order with allocation and the other requests, a little later
//   than the next render; values that must land on a sample go in the render's event list.
// - contextName travels both ways; bus formats and the maximum frame count go to the extension
//   when render resources are allocated, so the unit there allocates at the real rate.
// - Rendering goes through shared memory with a deadline (RemoteRenderSession).
// - When the extension dies or stops answering, the unit posts
//   kAudioComponentInstanceInvalidationNotification (from the connection's thread); after that
//   renders are silent, parameter writes stay here and requests fail.
// - allocateRenderResources waits at most timing.allocationWait (callers are often UI threads),
//   or not at all once an allocation-answered handler is set, and then fails with
//   kAudioComponentErr_InstanceTimedOut; the request stays open, and the next call with the same
//   formats takes its answer. Unanswered for timing.response, it ends the connection as an
//   unanswered ping does.
// - Render output that is not finite or beyond kLargestRemoteSample is refused (silence).
// - Numbers from the extension that do not fit their field make its message malformed: the
//   connection ends. Errors name the bundle whose extension failed.
class RemoteAudioUnit final : public AUAudioUnit {
public:
    struct Options {
        ConnectionTiming timing;
        // Every render waits this long at most; none: defaultRenderDeadline for the block.
        std::optional<std::chrono::nanoseconds> renderDeadline;
    };

    // Starts the component's extension and waits (blocking) for it to describe the unit.
    static std::shared_ptr<RemoteAudioUnit> launch(const AudioComponentManifest& component,
                                                   AudioComponentInstantiationOptions options, Options remoteOptions,
                                                   Error* error);
    ~RemoteAudioUnit() override;

    std::string audioUnitName() const override;
    std::string audioUnitShortName() const override;
    std::string manufacturerName() const override;
    AUAudioUnitBusArray* inputBusses() override;
    AUAudioUnitBusArray* outputBusses() override;
    std::vector<int> channelCapabilities() const override;
    double latency() const override;
    double tailTime() const override;
    std::vector<std::string> MIDIOutputNames() const override;

    bool allocateRenderResources(Error* error) override;
    // For a caller on a loop that must keep turning: allocateRenderResources no longer waits,
    // and `answered` runs (on the connection's thread, so it only hands the news to the loop)
    // once the answer to an allocation that a call returned without is in, or the connection is
    // lost first. An allocation dropped before (other formats asked for, or deallocated) is not
    // announced. Set from the allocating thread.
    void setAllocationAnsweredHandler(std::function<void()> answered);
    void deallocateRenderResources() override;
    AUInternalRenderBlock internalRenderBlock() override;

    void setContextName(std::optional<std::string> name) override;

    // Asks the extension whether the unit has a view; completes (on the connection's thread)
    // with a RemoteViewController, or with none when there is no view there (no display, or
    // the unit has none) or the extension is gone.
    void requestViewControllerWithCompletionHandler(std::function<void(std::shared_ptr<AUViewController>)> completion) override;

    // Shows the extension's view as a child window of the host's X11 window `parent`; completes
    // with the child window's id, or with none and the reason.
    void embedView(uint64_t parent, std::function<void(std::optional<uint64_t>, Error)> completion);
    // Takes the view down and returns once the extension says it is down (or after a short
    // wait, which leaves a busy extension running), so that the host may destroy the parent
    // window right after.
    void removeView();

    bool isInvalidated() const { return !render_->alive.load(); }
    pid_t processIdentifier() const;
    // Renders that answered with silence because the extension missed the deadline.
    uint64_t missedDeadlines() const { return render_->missedDeadlines.load(); }
    // Renders that answered with silence because the extension wrote non-finite samples or
    // samples beyond kLargestRemoteSample.
    uint64_t refusedBlocks() const { return render_->refusedBlocks.load(); }
    void setRenderDeadline(std::optional<std::chrono::nanoseconds> deadline);

private:
    RemoteAudioUnit() = default;

    // An allocation's answer as read on the connection's thread.
    struct AllocationReply {
        bool answered = false;  // false: the connection was lost first
        bool ok = false;
        Error error;              // when not ok
        std::string malformed;    // why the reply was refused, when it was
        std::optional<double> latency, tailTime;
    };
    struct AllocationWaiter {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<AllocationReply> reply;
        std::function<void()> onAnswer;  // set while a caller that did not wait is to hear of it
    };
    // An allocation request sent and not yet taken: its message, the channel it hands over, and
    // where its reply lands.
    struct InFlightAllocation {
        nlohmann::json message;
        std::unique_ptr<RenderChannel> channel;
        std::shared_ptr<AllocationWaiter> waiter;
    };
    bool startAllocation(const nlohmann::json& message, Error* error);
    // Waits for the in-flight allocation at most timing().allocationWait; nothing when it has
    // not been answered by then.
    std::optional<AllocationReply> awaitAllocation();
    // Forgets the allocation in flight: its answer, when it comes, is announced to no one.
    void dropInFlight();
    std::string bundleNote() const;
    // Adds bundleNote() to a failure set by code that does not know the bundle; returns false.
    bool failNamingTheBundle(Error* error) const;
    std::string goneReason() const;

    void handleMessage(const nlohmann::json& message);  // connection thread
    void handleWelcome(const nlohmann::json& message);
    void handleLost();
    void applyRemoteValue(AUParameterAddress address, AUValue value, AUParameterAutomationEventType type);
    void installTreeObserver();
    bool waitUntilDescribed(std::chrono::milliseconds limit, Error* error);
    std::unique_ptr<AUAudioUnitBusArray> makeBuses(AUAudioUnitBusType type, const nlohmann::json& json);

    std::unique_ptr<ExtensionConnection> connection_;
    const std::shared_ptr<RenderShared> render_ = std::make_shared<RenderShared>();
    std::atomic<double> latency_{0};
    std::atomic<double> tailTime_{0};
    AUParameterObserverToken treeToken_ = 0;

    std::string bundle_;  // the bundle whose extension serves the unit, for error messages
    // Set once from the welcome, before launch() hands the unit out.
    std::string name_, shortName_, manufacturerName_;
    std::vector<int> channelCapabilities_;
    std::vector<std::string> midiOutputNames_;
    std::unique_ptr<AUAudioUnitBusArray> inputBusses_, outputBusses_;

    std::mutex mutex_;
    std::condition_variable described_;
    bool welcomed_ = false;
    bool lost_ = false;
    bool handedOut_ = false;
    std::string welcomeError_;
    std::shared_ptr<RemoteRenderSession> session_;
    std::optional<InFlightAllocation> inFlight_;  // the allocating thread's
    std::function<void()> allocationAnswered_;    // the allocating thread's
};

// The controller of a view that lives in the extension process. Its view is a window that the
// host makes and hands over with embedInParentWindow.
class RemoteViewController : public AUViewController {
public:
    RemoteViewController(std::weak_ptr<RemoteAudioUnit> unit, CGSize preferredSize);

    void embedInParentWindow(uint64_t parent, std::function<void(std::optional<uint64_t>, Error)> completion);
    void removeFromParentWindow();

protected:
    void viewDidLoad() override;

private:
    std::weak_ptr<RemoteAudioUnit> unit_;
    CGSize size_;
};

}  // namespace remote
