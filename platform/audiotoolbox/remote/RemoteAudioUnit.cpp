#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"

#include "platform/audiotoolbox/remote/ExtensionProtocol.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <exception>

#include <unistd.h>

namespace remote {

using nlohmann::json;

namespace {

void statusError(Error* error, OSStatus status, std::string message) {
    setError(error, std::string(kOSStatusErrorDomain), status, std::move(message));
}

// A number from a message that may hold anything: the extension is another program. Missing or
// not a number: nothing (the field is ignored); a number T cannot hold makes the message malformed.
template <class T>
std::optional<T> numberAt(const json& message, const char* key) {
    const auto found = message.find(key);
    if (found == message.end() || !found->is_number()) return std::nullopt;
    if (const auto number = exactNumber<T>(*found)) return number;
    throw MalformedMessage(std::string(key) + " " + found->dump() + " is out of range");
}

// A list of whole numbers from the welcome; anything else there makes it malformed.
std::vector<int> intsAt(const json& message, const char* key) {
    std::vector<int> numbers;
    const auto found = message.find(key);
    if (found == message.end()) return numbers;
    if (!found->is_array()) throw MalformedMessage(std::string(key) + " is not a list");
    for (const auto& entry : *found) {
        const auto number = exactNumber<int>(entry);
        // A number is quoted; anything else only named, never printed whole.
        if (!number)
            throw MalformedMessage(std::string(key) + " holds " +
                                   (entry.is_number() ? entry.dump() : std::string("a ") + entry.type_name()));
        numbers.push_back(*number);
    }
    return numbers;
}

// A member of a message, or `fallback`: read in place, never a copy of what the extension sent.
const json& memberOr(const json& message, const char* key, const json& fallback) {
    const auto found = message.find(key);
    return found == message.end() ? fallback : *found;
}

const json& emptyList() {
    static const json empty = json::array();
    return empty;
}

const json& nothing() {
    static const json none;
    return none;
}

// A flag from such a message; anything but true reads as false.
bool flagAt(const json& message, const char* key) {
    const auto found = message.find(key);
    return found != message.end() && found->is_boolean() && found->get<bool>();
}

}  // namespace

std::shared_ptr<RemoteAudioUnit> RemoteAudioUnit::launch(const AudioComponentManifest& component,
                                                         AudioComponentInstantiationOptions options,
                                                         Options remoteOptions, Error* error) {
    auto unit = std::shared_ptr<RemoteAudioUnit>(new RemoteAudioUnit());
    if (!unit->AUAudioUnit::initWithComponentDescription(component.description, options, error)) return nullptr;
    unit->bundle_ = component.bundlePath.string();
    unit->setRenderDeadline(remoteOptions.renderDeadline);

    std::weak_ptr<RemoteAudioUnit> weak = unit;
    unit->connection_ = ExtensionConnection::launch(
        component.executablePath, component.arguments, remoteOptions.timing,
        [weak](const json& message) {
            if (auto strong = weak.lock()) strong->handleMessage(message);
        },
        [weak] {
            if (auto strong = weak.lock()) strong->handleLost();
        },
        error);
    if (!unit->connection_) {
        if (error) error->localizedDescription += unit->bundleNote();
        return nullptr;
    }
    if (!unit->waitUntilDescribed(remoteOptions.timing.handshake, error)) return nullptr;
    return unit;
}

RemoteAudioUnit::~RemoteAudioUnit() {
    render_->alive.store(false);
    connection_.reset();
}

bool RemoteAudioUnit::waitUntilDescribed(std::chrono::milliseconds limit, Error* error) {
    std::unique_lock lock(mutex_);
    described_.wait_for(lock, limit, [this] { return welcomed_ || lost_; });
    if (welcomed_ && !lost_) {
        handedOut_ = true;
        return true;
    }
    if (lost_) {
        // The connection thread sets its reason before it reports the loss.
        statusError(error, kAudioComponentErr_InstanceInvalidated,
                    (welcomeError_.empty() ? "the extension was lost before it described its unit: " + connection_->lostReason()
                                           : welcomeError_) +
                        bundleNote());
    } else {
        statusError(error, kAudioComponentErr_InstanceTimedOut,
                    "the extension did not describe its unit within " + inMilliseconds(limit) + bundleNote());
    }
    return false;
}

std::string RemoteAudioUnit::bundleNote() const { return " (bundle " + bundle_ + ")"; }

bool RemoteAudioUnit::failNamingTheBundle(Error* error) const {
    if (error) error->localizedDescription += bundleNote();
    return false;
}

std::string RemoteAudioUnit::goneReason() const {
    const std::string reason = connection_->lostReason();
    return "the unit's extension is gone" + (reason.empty() ? std::string{} : ": " + reason) + bundleNote();
}

void RemoteAudioUnit::handleMessage(const json& message) {
    const std::string kind = opOf(message);
    if (kind == op::welcome) {
        handleWelcome(message);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (!welcomed_) return;
    }
    if (kind == op::set) {
        const auto address = numberAt<AUParameterAddress>(message, "address");
        const auto value = numberAt<AUValue>(message, "value");
        if (address && value) applyRemoteValue(*address, *value, decodeEventType(message));
    } else if (kind == op::values) {
        for (const auto& entry : memberOr(message, "values", emptyList())) {
            if (!entry.is_array() || entry.size() != 2 || !entry[0].is_number() || !entry[1].is_number()) continue;
            const auto address = exactNumber<AUParameterAddress>(entry[0]);
            const auto value = exactNumber<AUValue>(entry[1]);
            if (!address || !value) throw MalformedMessage("the value " + entry.dump() + " is out of range");
            applyRemoteValue(*address, *value, AUParameterAutomationEventType::value);
        }
        notifyAllParameterValuesChanged();
    } else if (kind == op::context) {
        AUAudioUnit::setContextName(decodeContextName(memberOr(message, "name", nothing())));
    }
}

std::unique_ptr<AUAudioUnitBusArray> RemoteAudioUnit::makeBuses(AUAudioUnitBusType type, const json& json) {
    const auto described = decodeBuses(json);
    if (!described) return nullptr;
    std::vector<std::shared_ptr<AUAudioUnitBus>> buses;
    for (const auto& bus : *described) {
        auto made = std::make_shared<AUAudioUnitBus>(bus.format);
        made->setSupportedChannelCounts(bus.supportedChannelCounts);
        buses.push_back(std::move(made));
    }
    return std::make_unique<AUAudioUnitBusArray>(*this, type, std::move(buses));
}

void RemoteAudioUnit::handleWelcome(const json& message) {
    {
        // The engine holds raw pointers into the buses a welcome makes, and the names are read
        // without a lock once the unit is handed out: only the first welcome describes the unit.
        std::lock_guard lock(mutex_);
        if (welcomed_ || lost_) return;
    }
    std::string problem;
    std::shared_ptr<AUParameterTree> tree;
    Error error;
    if (message.contains("error")) {
        problem = "the extension could not create its unit: " + decodeError(message["error"]).localizedDescription;
    } else if (message.value("protocol", 0) != kProtocolVersion) {
        problem = "the extension speaks another protocol version";
    } else if (!(tree = decodeParameterTree(memberOr(message, "tree", emptyList()), &error))) {
        problem = error.localizedDescription;
    } else {
        inputBusses_ = makeBuses(AUAudioUnitBusType::input, memberOr(message, "inputs", emptyList()));
        outputBusses_ = makeBuses(AUAudioUnitBusType::output, memberOr(message, "outputs", emptyList()));
        if (!inputBusses_ || !outputBusses_) problem = "the extension described malformed buses";
    }
    if (problem.empty()) {
        name_ = message.value("name", std::string{});
        shortName_ = message.value("shortName", name_);
        manufacturerName_ = message.value("manufacturerName", std::string{});
        channelCapabilities_ = intsAt(message, "channelCapabilities");
        midiOutputNames_ = message.value("midiOutputNames", std::vector<std::string>{});
        if (message.contains("latency") && !message["latency"].is_number()) throw MalformedMessage("latency is not a number");
        if (message.contains("tailTime") && !message["tailTime"].is_number()) throw MalformedMessage("tailTime is not a number");
        latency_.store(numberAt<double>(message, "latency").value_or(0.0));
        tailTime_.store(numberAt<double>(message, "tailTime").value_or(0.0));
        if (const auto frames = numberAt<AUAudioFrameCount>(message, "maxFrames")) setMaximumFramesToRender(*frames);
        AUAudioUnit::setContextName(decodeContextName(memberOr(message, "contextName", nothing())));
        setParameterTree(tree);
        installTreeObserver();
    }
    std::lock_guard lock(mutex_);
    if (problem.empty()) {
        welcomed_ = true;
    } else {
        welcomeError_ = problem;
        lost_ = true;
    }
    described_.notify_all();
}

void RemoteAudioUnit::installTreeObserver() {
    std::weak_ptr<RemoteAudioUnit> weak = std::static_pointer_cast<RemoteAudioUnit>(shared_from_this());
    treeToken_ = parameterTree()->tokenByAddingParameterAutomationObserver(
        [weak](AUParameterAddress address, AUValue value, AUParameterAutomationEventType type) {
            auto unit = weak.lock();
            if (!unit || unit->isInvalidated()) return;
            unit->connection_->send(encodeValueChange(address, value, type));
        });
}

void RemoteAudioUnit::applyRemoteValue(AUParameterAddress address, AUValue value, AUParameterAutomationEventType type) {
    const auto tree = parameterTree();
    if (!tree) return;
    // Named as the originator, this unit's own observer stays quiet: the value came from there.
    if (const auto parameter = tree->parameterWithAddress(address)) parameter->setValue(value, treeToken_, 0, type);
}

void RemoteAudioUnit::handleLost() {
    render_->alive.store(false);
    bool post = false;
    {
        std::lock_guard lock(mutex_);
        lost_ = true;
        post = handedOut_;
        described_.notify_all();
    }
    // Only a unit someone holds is invalidated; one that never finished launching just fails.
    if (post) {
        NSNotificationCenter::defaultCenter().postNotificationName(
            std::string(kAudioComponentInstanceInvalidationNotification), std::shared_ptr<AUAudioUnit>(shared_from_this()));
    }
}

std::string RemoteAudioUnit::audioUnitName() const { return name_; }
std::string RemoteAudioUnit::audioUnitShortName() const { return shortName_; }
std::string RemoteAudioUnit::manufacturerName() const { return manufacturerName_; }
AUAudioUnitBusArray* RemoteAudioUnit::inputBusses() { return inputBusses_.get(); }
AUAudioUnitBusArray* RemoteAudioUnit::outputBusses() { return outputBusses_.get(); }
std::vector<int> RemoteAudioUnit::channelCapabilities() const { return channelCapabilities_; }
double RemoteAudioUnit::latency() const { return latency_.load(); }
double RemoteAudioUnit::tailTime() const { return tailTime_.load(); }
std::vector<std::string> RemoteAudioUnit::MIDIOutputNames() const { return midiOutputNames_; }
pid_t RemoteAudioUnit::processIdentifier() const { return connection_->processIdentifier(); }

void RemoteAudioUnit::setRenderDeadline(std::optional<std::chrono::nanoseconds> deadline) {
    render_->fixedDeadlineNanoseconds.store(deadline ? std::max<int64_t>(deadline->count(), 1) : 0);
}

bool RemoteAudioUnit::allocateRenderResources(Error* error) {
    if (isInvalidated()) {
        dropInFlight();
        statusError(error, kAudioComponentErr_InstanceInvalidated, goneReason());
        return false;
    }
    if (!AUAudioUnit::allocateRenderResources(error)) return failNamingTheBundle(error);
    AUAudioUnitBusArray* inputs = inputBusses();
    AUAudioUnitBusArray* outputs = outputBusses();
    if (outputs->count() == 0) {
        AUAudioUnit::deallocateRenderResources();
        statusError(error, kAudioUnitErr_FormatNotSupported, "the unit has no output bus" + bundleNote());
        return false;
    }
    const AVAudioFormat output = (*outputs)[0].format();
    const json message{{"op", op::allocate},
                       {"inputs", encodeBuses(inputs)},
                       {"outputs", encodeBuses(outputs)},
                       {"maxFrames", maximumFramesToRender()}};
    // An allocation asked for earlier and not finished then is taken over when it is the same.
    if (inFlight_ && inFlight_->message != message) dropInFlight();
    if (!inFlight_ && !startAllocation(message, error)) {
        AUAudioUnit::deallocateRenderResources();
        return failNamingTheBundle(error);
    }
    const std::optional<AllocationReply> reply = awaitAllocation();
    if (!reply) {
        // The caller is usually a UI thread: it waits a moment at most, not for as long as the
        // extension may take. The request stays open; a later call with the same formats takes
        // it over, and one left unanswered for the whole response time ends the connection as hung.
        AUAudioUnit::deallocateRenderResources();
        statusError(error, kAudioComponentErr_InstanceTimedOut,
                    (allocationAnswered_ ? std::string("the extension has not finished allocating yet")
                                         : "the extension has not finished allocating within " +
                                               inMilliseconds(connection_->timing().allocationWait)) +
                        bundleNote());
        return false;
    }
    std::unique_ptr<RenderChannel> channel = std::move(inFlight_->channel);
    dropInFlight();
    if (!reply->answered || !reply->ok) {
        AUAudioUnit::deallocateRenderResources();
        if (!reply->malformed.empty()) {
            statusError(error, kAudioComponentErr_InstanceInvalidated,
                        "the extension sent a malformed reply (" + reply->malformed + "); the host ended it" + bundleNote());
        } else if (!reply->answered) {
            statusError(error, kAudioComponentErr_InstanceInvalidated, goneReason());
        } else if (error) {
            *error = reply->error;
        }
        return false;
    }
    if (reply->latency) latency_.store(*reply->latency);
    if (reply->tailTime) tailTime_.store(*reply->tailTime);
    auto session = std::make_shared<RemoteRenderSession>(std::move(channel), render_, output.sampleRate());
    std::lock_guard lock(mutex_);
    session_ = std::move(session);
    return true;
}

bool RemoteAudioUnit::startAllocation(const json& message, Error* error) {
    AUAudioUnitBusArray* inputs = inputBusses();
    const uint32_t inputChannels = inputs->count() > 0 ? (*inputs)[0].format().channelCount() : 0;
    const uint32_t outputChannels = (*outputBusses())[0].format().channelCount();
    int fd = -1;
    auto channel = RenderChannel::create(maximumFramesToRender(), inputChannels, outputChannels, &fd, error);
    if (!channel) return false;
    auto waiter = std::make_shared<AllocationWaiter>();
    inFlight_ = InFlightAllocation{message, std::move(channel), waiter};
    if (connection_->onConnectionThread()) {
        // A handler of the connection would wait for itself.
        waiter->reply = AllocationReply{};
        close(fd);
        return true;
    }
    // The reply is read on the connection's thread, so that a malformed one ends the connection
    // there; the caller may have stopped waiting by then.
    connection_->request(
        message, connection_->timing().response,
        [waiter](std::optional<json> answer) {
            AllocationReply reply;
            std::exception_ptr malformed;
            if (answer) {
                try {
                    reply.latency = numberAt<double>(*answer, "latency");
                    reply.tailTime = numberAt<double>(*answer, "tailTime");
                    reply.ok = flagAt(*answer, "ok");
                    if (!reply.ok) reply.error = decodeError(memberOr(*answer, "error", nothing()));
                    reply.answered = true;
                } catch (const MalformedMessage& e) {
                    reply.malformed = e.what();
                    malformed = std::current_exception();
                }
            }
            std::function<void()> onAnswer;
            {
                std::lock_guard lock(waiter->mutex);
                waiter->reply = std::move(reply);
                onAnswer = std::move(waiter->onAnswer);
            }
            waiter->done.notify_all();
            if (onAnswer) onAnswer();
            if (malformed) std::rethrow_exception(malformed);
        },
        fd);
    close(fd);
    return true;
}

std::optional<RemoteAudioUnit::AllocationReply> RemoteAudioUnit::awaitAllocation() {
    AllocationWaiter& waiter = *inFlight_->waiter;
    std::unique_lock lock(waiter.mutex);
    if (allocationAnswered_) {
        // Decided under the waiter's lock: an answer comes either before this (and is taken
        // here) or after (and is announced).
        if (!waiter.reply) waiter.onAnswer = allocationAnswered_;
        return waiter.reply;
    }
    waiter.done.wait_for(lock, connection_->timing().allocationWait, [&] { return waiter.reply.has_value(); });
    return waiter.reply;
}

void RemoteAudioUnit::dropInFlight() {
    if (!inFlight_) return;
    {
        std::lock_guard lock(inFlight_->waiter->mutex);
        inFlight_->waiter->onAnswer = nullptr;
    }
    inFlight_.reset();
}

void RemoteAudioUnit::setAllocationAnsweredHandler(std::function<void()> answered) {
    allocationAnswered_ = std::move(answered);
}

void RemoteAudioUnit::deallocateRenderResources() {
    AUAudioUnit::deallocateRenderResources();
    dropInFlight();  // the deallocation below reaches the extension after it
    {
        std::lock_guard lock(mutex_);
        session_.reset();
    }
    if (!isInvalidated()) connection_->send({{"op", op::deallocate}});
}

AUInternalRenderBlock RemoteAudioUnit::internalRenderBlock() {
    std::shared_ptr<RemoteRenderSession> session;
    {
        std::lock_guard lock(mutex_);
        session = session_;
    }
    if (!session) {
        return [](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount, NSInteger, AudioBufferList*,
                  const AURenderEvent*, const AURenderPullInputBlock*) { return kAudioUnitErr_Uninitialized; };
    }
    return [session](AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timestamp, AUAudioFrameCount frames,
                     NSInteger bus, AudioBufferList* output, const AURenderEvent* events,
                     const AURenderPullInputBlock* pull) {
        return session->render(flags, timestamp, frames, bus, output, events, pull);
    };
}

void RemoteAudioUnit::setContextName(std::optional<std::string> name) {
    AUAudioUnit::setContextName(name);
    if (!isInvalidated()) connection_->send({{"op", op::context}, {"name", encodeContextName(name)}});
}

void RemoteAudioUnit::requestViewControllerWithCompletionHandler(std::function<void(std::shared_ptr<AUViewController>)> completion) {
    if (!completion) return;
    if (isInvalidated()) {
        completion(nullptr);
        return;
    }
    std::weak_ptr<RemoteAudioUnit> weak = std::static_pointer_cast<RemoteAudioUnit>(shared_from_this());
    connection_->request({{"op", op::view}}, connection_->timing().response,
                         [weak, completion = std::move(completion)](std::optional<json> reply) {
                             if (!reply || !flagAt(*reply, "available") || weak.expired()) {
                                 completion(nullptr);
                                 return;
                             }
                             CGSize size{};
                             try {
                                 size = {numberAt<double>(*reply, "width").value_or(0.0),
                                         numberAt<double>(*reply, "height").value_or(0.0)};
                             } catch (const MalformedMessage&) {
                                 completion(nullptr);  // answered; the connection then ends
                                 throw;
                             }
                             completion(std::make_shared<RemoteViewController>(weak, size));
                         });
}

void RemoteAudioUnit::embedView(uint64_t parent, std::function<void(std::optional<uint64_t>, Error)> completion) {
    const Error gone{std::string(kOSStatusErrorDomain), kAudioComponentErr_InstanceInvalidated,
                     "the unit's extension is gone"};
    if (isInvalidated()) {
        if (completion) completion(std::nullopt, gone);
        return;
    }
    connection_->request({{"op", op::embed}, {"parent", parent}}, connection_->timing().response,
                         [completion = std::move(completion), gone](std::optional<json> reply) {
                             if (!completion) return;
                             if (!reply) completion(std::nullopt, gone);
                             else if (const auto window = reply->find("window");
                                      flagAt(*reply, "ok") && window != reply->end() && window->is_number_unsigned())
                                 completion(window->get<uint64_t>(), Error{});
                             else completion(std::nullopt, decodeError(memberOr(*reply, "error", nothing())));
                         });
}

// The view sits in a window of the host's, which the host may destroy right after: waiting until
// the extension has taken the view down means it never meets a window that is already gone. A
// busy extension holds the host no longer than this, and is not ended for being busy: a view
// closed while it works on something else is no sign that it hangs.
void RemoteAudioUnit::removeView() {
    constexpr std::chrono::milliseconds kRemovalWait{1'000};
    if (isInvalidated()) return;
    if (connection_->onConnectionThread()) {
        connection_->send({{"op", op::unembed}});
        return;
    }
    (void)connection_->requestAndWait({{"op", op::unembed}}, {kRemovalWait, RequestLimit::OnExpiry::failRequest});
}

RemoteViewController::RemoteViewController(std::weak_ptr<RemoteAudioUnit> unit, CGSize preferredSize)
    : unit_(std::move(unit)), size_(preferredSize) {}

void RemoteViewController::viewDidLoad() {
    setPreferredContentSize(size_);
    setViewSize(size_);
}

void RemoteViewController::embedInParentWindow(uint64_t parent,
                                               std::function<void(std::optional<uint64_t>, Error)> completion) {
    if (auto unit = unit_.lock()) {
        unit->embedView(parent, std::move(completion));
    } else if (completion) {
        completion(std::nullopt, Error{std::string(kOSStatusErrorDomain), kAudioComponentErr_InstanceInvalidated,
                                       "the unit is gone"});
    }
}

void RemoteViewController::removeFromParentWindow() {
    if (auto unit = unit_.lock()) unit->removeView();
}

}  // namespace remote
