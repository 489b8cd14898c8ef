#include "platform/audiotoolbox/remote/ExtensionService.h"

#include "platform/audiotoolbox/remote/ExtensionProtocol.h"
#include "platform/audiotoolbox/remote/MessageSocket.h"
#include "platform/audiotoolbox/remote/RenderChannel.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/os/Waiting.h"
#include "platform/os/ThreadPriority.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace remote {

using nlohmann::json;

namespace {

std::optional<uint32_t> parseCount(const char* text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value > 1024) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// Sets every bus of `buses` to `channels` channels at its current rate.
bool setChannelCount(AUAudioUnitBusArray* buses, uint32_t channels, Error* error) {
    if (buses == nullptr) return true;
    for (std::size_t i = 0; i < buses->count(); ++i) {
        auto format = AVAudioFormat::standardFormat((*buses)[i].format().sampleRate(), channels);
        if (!format || !(*buses)[i].setFormat(*format, error)) return false;
    }
    return true;
}

bool applyFormats(AUAudioUnitBusArray* buses, const std::vector<BusDescription>& formats, Error* error) {
    if (buses == nullptr) return true;
    for (std::size_t i = 0; i < std::min(buses->count(), formats.size()); ++i)
        if (!(*buses)[i].setFormat(formats[i].format, error)) return false;
    return true;
}

// Replies and pongs echo the "id": one that is not a request number would throw there.
bool wellFormed(const json& message) {
    const auto id = message.find("id");
    return id == message.end() || id->is_number_unsigned();
}

}  // namespace

void ExtensionViewHost::waitForEvents(int wakeFd, std::optional<std::chrono::nanoseconds> timeout) {
    (void)pollReadable(wakeFd, timeout);
}

class ExtensionServer {
public:
    ExtensionServer(int fd, std::shared_ptr<AUAudioUnit> unit, ExtensionViewHost* views)
        : socket_(fd), unit_(std::move(unit)), views_(views) {}

    int run();

private:
    void send(const json& message);
    void reply(const json& request, json fields);
    void post(std::function<void()> work);

    void readLoop();
    void handle(const json& message, int fd);
    void observeUnit();
    void forgetUnit();
    json welcome();

    void allocate(const json& request, int fd);
    bool allocateOrFail(const json& request, int fd, Error* error);
    void deallocate();
    void applyContext(const json& message);
    void describeView(const json& request);
    void embedView(const json& request);
    void removeView();

    void startRendering();
    void stopRendering();
    void renderLoop();
    void renderOnce(uint32_t request, AURenderEvent* events, AudioBufferList& output,
                    const AURenderPullInputBlock& pull);

    MessageSocket socket_;
    std::mutex sendMutex_;
    const std::shared_ptr<AUAudioUnit> unit_;
    ExtensionViewHost* views_;
    bool viewShown_ = false;  // main thread

    AUParameterObserverToken hostToken_ = 0;
    AUAudioUnit::ObserverToken contextToken_ = 0;
    AUAudioUnit::ObserverToken valuesToken_ = 0;
    std::mutex contextMutex_;
    std::optional<std::string> contextKnownToHost_;

    // The extension's main thread: the host's requests, the main queue (the panel's updates) and
    // the view's events, asleep while none has anything.
    MainLoop loop_;
    std::atomic<bool> hostGone_{false};

    std::unique_ptr<RenderChannel> channel_;  // main thread; the render thread uses it while running
    AUInternalRenderBlock block_;
    std::thread renderThread_;
    std::atomic<bool> stopRender_{false};
};

void ExtensionServer::send(const json& message) {
    std::lock_guard lock(sendMutex_);
    (void)socket_.send(message);
}

void ExtensionServer::reply(const json& request, json fields) {
    fields["op"] = op::reply;
    fields["id"] = request.value("id", uint64_t{0});
    send(fields);
}

void ExtensionServer::post(std::function<void()> work) { loop_.post(std::move(work)); }

json ExtensionServer::welcome() {
    json message{{"op", op::welcome},
                 {"protocol", kProtocolVersion},
                 {"name", unit_->audioUnitName()},
                 {"shortName", unit_->audioUnitShortName()},
                 {"manufacturerName", unit_->manufacturerName()},
                 {"tree", unit_->parameterTree() ? encodeParameterTree(*unit_->parameterTree()) : json::array()},
                 {"inputs", encodeBuses(unit_->inputBusses())},
                 {"outputs", encodeBuses(unit_->outputBusses())},
                 {"channelCapabilities", unit_->channelCapabilities()},
                 {"latency", unit_->latency()},
                 {"tailTime", unit_->tailTime()},
                 {"maxFrames", unit_->maximumFramesToRender()},
                 {"contextName", encodeContextName(unit_->contextName())},
                 {"midiOutputNames", unit_->MIDIOutputNames()}};
    return message;
}

void ExtensionServer::observeUnit() {
    if (const auto tree = unit_->parameterTree()) {
        // Every change not made by the host goes back to it, with its event type.
        hostToken_ = tree->tokenByAddingParameterAutomationObserver(
            [this](AUParameterAddress address, AUValue value, AUParameterAutomationEventType type) {
                send(encodeValueChange(address, value, type));
            });
    }
    contextToken_ = unit_->observeContextName([this] {
        const auto name = unit_->contextName();
        {
            std::lock_guard lock(contextMutex_);
            if (name == contextKnownToHost_) return;  // the host's own value, or one already reported
            contextKnownToHost_ = name;
        }
        send({{"op", op::context}, {"name", encodeContextName(name)}});
    });
    valuesToken_ = unit_->observeAllParameterValues([this] {
        json values = json::array();
        if (const auto tree = unit_->parameterTree())
            for (const auto& parameter : tree->allParameters()) values.push_back({parameter->address(), parameter->value()});
        send({{"op", op::values}, {"values", values}});
    });
}

void ExtensionServer::forgetUnit() {
    if (const auto tree = unit_->parameterTree()) tree->removeParameterObserver(hostToken_);
    unit_->removeContextNameObserver(contextToken_);
    unit_->removeAllParameterValuesObserver(valuesToken_);
}

void ExtensionServer::readLoop() {
    for (;;) {
        int fd = -1;
        const auto message = socket_.receive(&fd);
        if (!message) break;
        if (!wellFormed(*message)) {
            // A host that sends this does not speak the protocol: the connection ends here.
            if (fd >= 0) close(fd);
            std::fprintf(stderr, "extension: the host sent a malformed message; leaving\n");
            break;
        }
        handle(*message, fd);
    }
    hostGone_.store(true);
    loop_.post([] {});
}

void ExtensionServer::handle(const json& message, int fd) {
    const std::string kind = opOf(message);
    if (kind == op::allocate) {
        post([this, message, fd] { allocate(message, fd); });
        return;
    }
    if (fd >= 0) close(fd);
    if (kind == op::ping) {
        send({{"op", op::pong}, {"id", message.value("id", uint64_t{0})}});
    } else if (kind == op::set) {
        // Applied here at once: the unit's parameter store is safe from any thread.
        const auto tree = unit_->parameterTree();
        const auto address = message.value("address", json());
        const auto value = message.value("value", json());
        if (!tree || !address.is_number_unsigned() || !value.is_number()) return;
        if (const auto parameter = tree->parameterWithAddress(address.get<AUParameterAddress>()))
            parameter->setValue(value.get<AUValue>(), hostToken_, 0, decodeEventType(message));
    } else if (kind == op::context) {
        post([this, message] { applyContext(message); });
    } else if (kind == op::deallocate) {
        post([this] { deallocate(); });
    } else if (kind == op::view) {
        post([this, message] { describeView(message); });
    } else if (kind == op::embed) {
        post([this, message] { embedView(message); });
    } else if (kind == op::unembed) {
        post([this, message] {
            removeView();
            if (message.contains("id")) reply(message, {{"ok", true}});
        });
    }
}

void ExtensionServer::applyContext(const json& message) {
    const auto name = decodeContextName(message.value("name", json()));
    {
        std::lock_guard lock(contextMutex_);
        contextKnownToHost_ = name;
    }
    unit_->setContextName(name);
}

bool ExtensionServer::allocateOrFail(const json& request, int fd, Error* error) {
    const auto inputs = decodeBuses(request.value("inputs", json::array()));
    const auto outputs = decodeBuses(request.value("outputs", json::array()));
    const auto maxFrames = request.value("maxFrames", json());
    if (!inputs || !outputs || outputs->empty() || !maxFrames.is_number_unsigned() || fd < 0) {
        setError(error, "ExtensionService", -1, "malformed allocation request");
        return false;
    }
    if (!applyFormats(unit_->inputBusses(), *inputs, error) || !applyFormats(unit_->outputBusses(), *outputs, error))
        return false;
    const auto frames = maxFrames.get<AUAudioFrameCount>();
    unit_->setMaximumFramesToRender(frames);
    const uint32_t inputChannels = inputs->empty() ? 0 : inputs->front().format.channelCount();
    auto channel = RenderChannel::map(fd, frames, inputChannels, outputs->front().format.channelCount(), error);
    if (!channel || !unit_->allocateRenderResources(error)) return false;
    block_ = unit_->internalRenderBlock();
    if (!block_) {
        unit_->deallocateRenderResources();
        setError(error, std::string(kOSStatusErrorDomain), kAudioUnitErr_Uninitialized, "the unit has no render block");
        return false;
    }
    channel_ = std::move(channel);
    return true;
}

void ExtensionServer::allocate(const json& request, int fd) {
    deallocate();
    Error error;
    const bool ok = allocateOrFail(request, fd, &error);
    if (fd >= 0) close(fd);
    if (!ok) {
        reply(request, {{"ok", false}, {"error", encodeError(error)}});
        return;
    }
    startRendering();
    reply(request, {{"ok", true}, {"latency", unit_->latency()}, {"tailTime", unit_->tailTime()}});
}

void ExtensionServer::deallocate() {
    stopRendering();
    if (unit_->renderResourcesAllocated()) unit_->deallocateRenderResources();
    block_ = {};
    channel_.reset();
}

void ExtensionServer::describeView(const json& request) {
    const auto size = views_ ? views_->preferredSize(unit_) : std::nullopt;
    if (!size) {
        reply(request, {{"available", false}});
        return;
    }
    reply(request, {{"available", true}, {"width", size->width}, {"height", size->height}});
}

void ExtensionServer::embedView(const json& request) {
    Error error{"ExtensionService", -1, "the unit has no view here"};
    const auto parent = request.value("parent", json());
    std::optional<uint64_t> window;
    if (views_ && parent.is_number_unsigned()) {
        if (viewShown_) views_->remove();
        window = views_->embed(unit_, parent.get<uint64_t>(), &error);
    }
    viewShown_ = window.has_value();
    if (!window) reply(request, {{"ok", false}, {"error", encodeError(error)}});
    else reply(request, {{"ok", true}, {"window", *window}});
}

void ExtensionServer::removeView() {
    if (views_ && viewShown_) views_->remove();
    viewShown_ = false;
}

void ExtensionServer::startRendering() {
    stopRender_.store(false);
    renderThread_ = std::thread([this] { renderLoop(); });
}

void ExtensionServer::stopRendering() {
    if (!renderThread_.joinable()) return;
    stopRender_.store(true);
    if (channel_) futexWake(channel_->header().request);
    renderThread_.join();
}

void ExtensionServer::renderOnce(uint32_t request, AURenderEvent* events, AudioBufferList& output,
                                 const AURenderPullInputBlock& pull) {
    RenderChannelHeader& header = channel_->header();
    // The host is another program: nothing it wrote is trusted beyond the channel's shape.
    const AUAudioFrameCount frames = header.frameCount;
    AUAudioUnitStatus status = kAudioUnitErr_TooManyFramesToProcess;
    AudioUnitRenderActionFlags flags = header.actionFlags;
    if (frames <= channel_->maxFrames()) {
        const uint32_t count = std::min(header.eventCount, kMaxRenderEvents);
        for (uint32_t i = 0; i < count; ++i) {
            const RenderEventRecord& record = header.events[i];
            AURenderEvent& event = events[i];
            event = AURenderEvent{};
            event.parameter.next = i + 1 < count ? &events[i + 1] : nullptr;
            event.parameter.eventSampleTime = record.sampleTime;
            event.parameter.eventType = record.type == static_cast<uint8_t>(AURenderEventType::parameterRamp)
                                            ? AURenderEventType::parameterRamp
                                            : AURenderEventType::parameter;
            event.parameter.rampDurationSampleFrames = record.rampFrames;
            event.parameter.parameterAddress = record.address;
            event.parameter.value = record.value;
        }
        output.mNumberBuffers = channel_->outputChannels();
        for (uint32_t c = 0; c < output.mNumberBuffers; ++c) output.mBuffers[c] = {1, frames * 4u, channel_->output(c)};
        const AudioTimeStamp timestamp{header.sampleTime, header.hostTime, header.timestampFlags};
        status = block_(&flags, &timestamp, frames, static_cast<NSInteger>(header.busNumber), &output,
                        count > 0 ? &events[0] : nullptr, &pull);
        // A unit may answer with its own memory instead of filling ours.
        for (uint32_t c = 0; c < output.mNumberBuffers; ++c) {
            const auto* data = static_cast<const float*>(output.mBuffers[c].mData);
            if (data != nullptr && data != channel_->output(c)) std::memcpy(channel_->output(c), data, frames * 4u);
        }
    }
    header.status = status;
    header.replyActionFlags = flags;
    header.reply.store(request, std::memory_order_release);
    futexWake(header.reply);
}

void ExtensionServer::renderLoop() {
    // The host waits for this thread with a deadline, as for its own render thread.
    requestRealtimePriority();
    RenderChannelHeader& header = channel_->header();
    const uint32_t inputChannels = channel_->inputChannels();
    RenderChannel* channel = channel_.get();
    const AURenderPullInputBlock pull = [channel, inputChannels](AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                                                 AUAudioFrameCount frames, NSInteger,
                                                                 AudioBufferList* list) -> AUAudioUnitStatus {
        if (inputChannels == 0) return kAudioUnitErr_NoConnection;
        for (uint32_t b = 0; b < list->mNumberBuffers; ++b) {
            float* source = channel->input(std::min(b, inputChannels - 1));
            if (list->mBuffers[b].mData == nullptr) list->mBuffers[b].mData = source;
            else if (list->mBuffers[b].mData != source) std::memcpy(list->mBuffers[b].mData, source, frames * 4u);
        }
        return noErr;
    };
    std::vector<AURenderEvent> events(kMaxRenderEvents, AURenderEvent{});
    AudioBufferList output;
    // Anything asked after the last answer is pending, even a request made before this thread ran.
    uint32_t seen = header.reply.load(std::memory_order_acquire);
    while (!stopRender_.load(std::memory_order_relaxed)) {
        const uint32_t request = header.request.load(std::memory_order_acquire);
        if (request == seen) {
            futexWait(header.request, seen, std::chrono::milliseconds(100));
            continue;
        }
        seen = request;
        renderOnce(request, events.data(), output, pull);
    }
}

int ExtensionServer::run() {
    // The reader applies host values with the token observeUnit makes, so it starts after.
    observeUnit();
    std::thread reader([this] { readLoop(); });
    send(welcome());
    const MainLoop::Waiter waitForView = [this](int wakeFd, std::optional<std::chrono::nanoseconds> timeout) {
        views_->waitForEvents(wakeFd, timeout);
    };
    for (;;) {
        // Read first: everything the reader posted before it left runs in this turn.
        const bool gone = hostGone_.load();
        const std::size_t ran = loop_.runPending();
        const bool showing = views_ != nullptr && viewShown_;
        if (showing) views_->idle();
        // Once the host is gone nothing wakes this loop again: it turns without sleeping until
        // what is queued has run, then leaves.
        if (gone) {
            if (ran == 0) break;
            continue;
        }
        loop_.waitForWork(showing ? waitForView : MainLoop::Waiter{});
    }
    removeView();
    deallocate();
    forgetUnit();
    reader.join();
    return 0;
}

std::optional<ExtensionArguments> parseExtensionArguments(int argc, char** argv) {
    ExtensionArguments arguments;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const auto value = parseCount(argv[i + 1]);
        if (!value) return std::nullopt;
        if (key == "--serve-fd") arguments.socketFd = static_cast<int>(*value);
        else if (key == "--channels") arguments.channels = *value;
        else return std::nullopt;
    }
    if (argc % 2 == 0 || arguments.socketFd < 0) return std::nullopt;
    return arguments;
}

int serveAudioUnit(const ExtensionArguments& arguments, std::shared_ptr<AUAudioUnit> unit, ExtensionViewHost* views) {
    ExtensionServer server(arguments.socketFd, std::move(unit), views);
    return server.run();
}

int extensionMain(int argc, char** argv, const std::function<std::shared_ptr<AUAudioUnit>(Error*)>& makeUnit,
                  const std::function<std::unique_ptr<ExtensionViewHost>()>& makeViews) {
    const auto arguments = parseExtensionArguments(argc, argv);
    if (!arguments) {
        std::fprintf(stderr, "usage: %s --serve-fd N [--channels N]\n(started by a host, not by hand)\n",
                     argc > 0 ? argv[0] : "extension");
        return 2;
    }
    // Everything is sent without SIGPIPE already; this only covers what a unit might write.
    std::signal(SIGPIPE, SIG_IGN);
    Error error;
    std::shared_ptr<AUAudioUnit> unit = makeUnit(&error);
    if (unit && arguments->channels > 0 &&
        !(setChannelCount(unit->inputBusses(), arguments->channels, &error) &&
          setChannelCount(unit->outputBusses(), arguments->channels, &error))) {
        unit.reset();
    }
    if (!unit) {
        MessageSocket socket(arguments->socketFd);
        (void)socket.send({{"op", op::welcome}, {"protocol", kProtocolVersion}, {"error", encodeError(error)}});
        std::fprintf(stderr, "%s: cannot create the unit: %s\n", argv[0], error.description().c_str());
        return 1;
    }
    auto views = makeViews ? makeViews() : nullptr;
    return serveAudioUnit(*arguments, std::move(unit), views.get());
}

}  // namespace remote
