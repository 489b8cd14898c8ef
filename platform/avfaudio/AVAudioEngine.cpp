#include "platform/avfaudio/AVAudioEngine.h"

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/avfaudio/AVAudioPlayerNode.h"
#include "platform/avfaudio/devices/NullOutputDevice.h"
#include "platform/os/Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <semaphore.h>

namespace {

constexpr uint32_t kLargestPiece = 4096;

const OSLog& engineLog() {
    static const OSLog log("com.marlowen.tolvane.audio", "AVAudioEngine");
    return log;
}

bool involves(const AVAudioConnection& connection, const AVAudioNode& node) {
    return connection.source.get() == &node || connection.destination.get() == &node;
}

// A unit's buses and frame limit as the plan needs them.
bool unitMatches(AUAudioUnit& unit, const RenderPlan::UnitUse& use, AUAudioFrameCount maximumFrames) {
    AUAudioUnitBusArray* inputs = unit.inputBusses();
    AUAudioUnitBusArray* outputs = unit.outputBusses();
    const bool inputMatches = !use.inputFormat || (inputs != nullptr && inputs->count() > 0 && (*inputs)[0].format() == *use.inputFormat);
    const bool outputMatches = outputs != nullptr && outputs->count() > 0 && (*outputs)[0].format() == use.outputFormat;
    return inputMatches && outputMatches && unit.maximumFramesToRender() >= maximumFrames;
}

bool configureUnit(AUAudioUnit& unit, const RenderPlan::UnitUse& use, AUAudioFrameCount maximumFrames, Error* error) {
    if (unit.renderResourcesAllocated()) unit.deallocateRenderResources();
    AUAudioUnitBusArray* inputs = unit.inputBusses();
    AUAudioUnitBusArray* outputs = unit.outputBusses();
    if (use.inputFormat && inputs != nullptr && inputs->count() > 0 && !(*inputs)[0].setFormat(*use.inputFormat, error)) return false;
    if (outputs != nullptr && outputs->count() > 0 && !(*outputs)[0].setFormat(use.outputFormat, error)) return false;
    unit.setMaximumFramesToRender(maximumFrames);
    return unit.allocateRenderResources(error);
}

}  // namespace

// Runs the completions of consumed player segments off the audio thread: the audio thread only
// posts a semaphore, this thread asks each attached player for what it consumed.
struct AVAudioEngine::CompletionPump {
    CompletionPump() {
        sem_init(&wake, 0, 0);
        thread = std::thread([this] { run(); });
    }
    ~CompletionPump() {
        stopping.store(true);
        sem_post(&wake);
        thread.join();
        sem_destroy(&wake);
    }

    void post() noexcept { sem_post(&wake); }

    void add(const std::shared_ptr<AVAudioPlayerNode>& player) {
        std::lock_guard lock(mutex);
        players.push_back(player);
    }
    void remove(const AVAudioNode& node) {
        std::lock_guard lock(mutex);
        std::erase_if(players, [&node](const auto& player) { return player.get() == &node; });
    }

    void run() {
        (void)pthread_setname_np(pthread_self(), "engine completions");
        while (!stopping.load()) {
            while (sem_wait(&wake) != 0 && errno == EINTR) {
            }
            std::vector<std::shared_ptr<AVAudioPlayerNode>> current;
            {
                std::lock_guard lock(mutex);
                current = players;
            }
            for (const auto& player : current) player->deliverConsumedCompletions();
        }
    }

    sem_t wake;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::vector<std::shared_ptr<AVAudioPlayerNode>> players;
    std::thread thread;
};

AVAudioEngine::AVAudioEngine(std::shared_ptr<AudioOutputDevice> device, bool fallbackToNullOutput)
    : device_(std::move(device)),
      fallbackToNullOutput_(fallbackToNullOutput),
      outputNode_(std::make_shared<AVAudioOutputNode>()),
      inputNode_(std::make_shared<AVAudioInputNode>()),
      pump_(std::make_unique<CompletionPump>()) {
    if (!device_) device_ = std::make_shared<NullOutputDevice>();
    attachNode(outputNode_);
    attachNode(inputNode_);
}

AVAudioEngine::~AVAudioEngine() {
    device_->stop();
    device_->close();
    publish(nullptr);
    plan_.collectAll();
    releaseUnitsNotIn(nullptr);
    for (const auto& node : attached_) node->engine_ = nullptr;
}

void AVAudioEngine::requireAttached(const AVAudioNode& node) const {
    if (node.engine_ != this) throw std::invalid_argument("AVAudioEngine: the node is not attached to this engine");
}

void AVAudioEngine::attachNode(const std::shared_ptr<AVAudioNode>& node) {
    if (!node) throw std::invalid_argument("AVAudioEngine: no node to attach");
    if (node->engine_ == this) return;
    if (node->engine_ != nullptr) throw std::invalid_argument("AVAudioEngine: the node is attached to another engine");
    attached_.push_back(node);
    node->engine_ = this;
    if (auto player = std::dynamic_pointer_cast<AVAudioPlayerNode>(node)) pump_->add(player);
}

void AVAudioEngine::detachNode(const std::shared_ptr<AVAudioNode>& node) {
    if (!node || node->engine_ != this || node == outputNode_ || node == inputNode_) return;
    std::erase_if(connections_, [&node](const AVAudioConnection& c) { return involves(c, *node); });
    std::erase(attached_, node);
    if (node == mainMixer_) mainMixer_.reset();
    pump_->remove(*node);
    node->engine_ = nullptr;
    graphChanged();
}

void AVAudioEngine::connect(const std::shared_ptr<AVAudioNode>& source, const std::shared_ptr<AVAudioNode>& destination,
                            std::optional<AVAudioFormat> format) {
    requireAttached(*destination);
    AVAudioNodeBus bus = 0;
    if (dynamic_cast<const AVAudioMixerNode*>(destination.get()) != nullptr) {
        while (bus < destination->numberOfInputs() && connectionFormat(*destination, bus, Side::input)) ++bus;
    }
    connect(source, destination, 0, bus, format);
}

void AVAudioEngine::connect(const std::shared_ptr<AVAudioNode>& source, const std::shared_ptr<AVAudioNode>& destination,
                            AVAudioNodeBus sourceBus, AVAudioNodeBus destinationBus, std::optional<AVAudioFormat> format) {
    requireAttached(*source);
    requireAttached(*destination);
    if (sourceBus >= source->numberOfOutputs() || destinationBus >= destination->numberOfInputs()) {
        throw std::invalid_argument("AVAudioEngine: no such bus to connect");
    }
    if (!format) format = source->outputFormatForBus(sourceBus);
    if (!format) throw std::invalid_argument("AVAudioEngine: no format for the connection");
    std::erase_if(connections_, [&](const AVAudioConnection& c) {
        return (c.source == source && c.sourceBus == sourceBus) ||
               (c.destination == destination && c.destinationBus == destinationBus);
    });
    connections_.push_back({source, sourceBus, destination, destinationBus, *format});
    graphChanged();
}

void AVAudioEngine::disconnectNodeInput(const std::shared_ptr<AVAudioNode>& node) {
    std::erase_if(connections_, [&node](const AVAudioConnection& c) { return c.destination == node; });
    graphChanged();
}

void AVAudioEngine::disconnectNodeInput(const std::shared_ptr<AVAudioNode>& node, AVAudioNodeBus bus) {
    std::erase_if(connections_, [&](const AVAudioConnection& c) { return c.destination == node && c.destinationBus == bus; });
    graphChanged();
}

void AVAudioEngine::disconnectNodeOutput(const std::shared_ptr<AVAudioNode>& node) {
    std::erase_if(connections_, [&node](const AVAudioConnection& c) { return c.source == node; });
    graphChanged();
}

const std::shared_ptr<AVAudioMixerNode>& AVAudioEngine::mainMixerNode() {
    if (!mainMixer_) {
        mainMixer_ = std::make_shared<AVAudioMixerNode>();
        attachNode(mainMixer_);
        connect(mainMixer_, outputNode_, 0, 0, outputNode_->outputFormatForBus(0));
    }
    return mainMixer_;
}

std::optional<AVAudioFormat> AVAudioEngine::connectionFormat(const AVAudioNode& node, AVAudioNodeBus bus, Side side) const {
    for (const auto& c : connections_) {
        const bool matches = side == Side::input ? (c.destination.get() == &node && c.destinationBus == bus)
                                                 : (c.source.get() == &node && c.sourceBus == bus);
        if (matches) return c.format;
    }
    return std::nullopt;
}

// The graph runs at the rate of what feeds the main mixer; without that, at the device's.
double AVAudioEngine::graphSampleRate() const {
    if (mainMixer_) {
        for (const auto& c : connections_) {
            if (c.destination == mainMixer_) return c.format.sampleRate();
        }
    }
    return device_->sampleRate();
}

std::optional<AVAudioFormat> AVAudioEngine::deviceFormat() const {
    return AVAudioFormat::standardFormat(isRunning() ? device_->sampleRate() : graphSampleRate(), device_->channelCount());
}

bool AVAudioEngine::isRunning() const { return device_->isRunning(); }

void AVAudioEngine::graphChanged() {
    planCurrent_ = false;
    if (!isRunning()) return;
    Error error;
    if (!rebuild(&error)) {
        engineLog().error("the changed graph cannot play, so the output is silent: " + error.description());
        publish(nullptr);
    }
}

// The output node's connection stands for the device, so it follows the device's rate, as a
// hardware rate change reconfigures that connection.
void AVAudioEngine::followDeviceRate() {
    for (auto& c : connections_) {
        if (c.destination == outputNode_) c.format = *AVAudioFormat::standardFormat(device_->sampleRate(), c.format.channelCount());
    }
}

bool AVAudioEngine::openDevice(Error* error) {
    const bool opened = openDeviceAtGraphRate(error);
    if (opened) followDeviceRate();
    return opened;
}

bool AVAudioEngine::openDeviceAtGraphRate(Error* error) {
    const double rate = graphSampleRate();
    if (device_->isOpen() && device_->sampleRate() == rate) return true;
    device_->close();
    Error refusal;
    if (device_->open(rate, &refusal)) return true;
    if (!fallbackToNullOutput_) {
        if (error) *error = refusal;
        return false;
    }
    engineLog().error(refusal.localizedDescription + "; playing to the null output instead");
    NullOutputDevice::Options options;
    options.preferredSampleRate = rate;
    options.channels = device_->channelCount();
    device_ = std::make_shared<NullOutputDevice>(options);
    return device_->open(rate, error);
}

void AVAudioEngine::publish(std::unique_ptr<RenderPlan> plan) {
    if (RenderPlan* previous = plan_.current()) retiredUnitFailures_ += previous->unitFailureCount();
    plan_.publish(std::move(plan));
}

uint64_t AVAudioEngine::unitFailureCount() const {
    const RenderPlan* current = plan_.current();
    return retiredUnitFailures_ + (current ? current->unitFailureCount() : 0);
}

bool AVAudioEngine::configureUnits(const RenderPlan& plan, Error* error) {
    const AUAudioFrameCount maximumFrames = deviceLimits().maximumFrames;
    for (const auto& use : plan.units()) {
        if (use.unit->renderResourcesAllocated() && unitMatches(*use.unit, use, maximumFrames)) continue;
        if (!configureUnit(*use.unit, use, maximumFrames, error)) return false;
        if (std::ranges::find(allocatedUnits_, use.unit) == allocatedUnits_.end()) allocatedUnits_.push_back(use.unit);
    }
    return true;
}

void AVAudioEngine::releaseUnitsNotIn(const RenderPlan* plan) {
    std::erase_if(allocatedUnits_, [plan](const std::shared_ptr<AUAudioUnit>& unit) {
        if (plan && std::ranges::any_of(plan->units(), [&unit](const auto& use) { return use.unit == unit; })) return false;
        unit->deallocateRenderResources();
        return true;
    });
}

// Units are reconfigured and released only while no plan the audio thread may hold renders
// them: the audio thread first gets a silent plan for the few blocks this takes.
RenderPlan::Limits AVAudioEngine::deviceLimits() const {
    return {device_->sampleRate(), std::min(device_->maximumFramesPerCallback(), kLargestPiece)};
}

bool AVAudioEngine::planIsCurrent() const {
    const RenderPlan::Limits limits = deviceLimits();
    return planCurrent_ && builtFor_.sampleRate == limits.sampleRate && builtFor_.maximumFrames == limits.maximumFrames;
}

bool AVAudioEngine::rebuild(Error* error) {
    const RenderPlan::Limits limits = deviceLimits();
    auto plan = RenderPlan::build(connections_, *outputNode_, limits, error);
    if (!plan) return false;
    const bool unitsChange = std::ranges::any_of(plan->units(), [&](const auto& use) {
        return !use.unit->renderResourcesAllocated() || !unitMatches(*use.unit, use, limits.maximumFrames);
    }) || std::ranges::any_of(allocatedUnits_, [&](const auto& unit) {
        return std::ranges::none_of(plan->units(), [&unit](const auto& use) { return use.unit == unit; });
    });
    // Drained even when nothing is current: a failed rebuild retires its plan without waiting,
    // and the audio thread may still render that one.
    if (unitsChange) {
        publish(nullptr);
        if (!plan_.collectAll()) {
            setError(error, "AVAudioEngine", kAudioUnitErr_Initialized, "the audio thread did not let go of the old graph");
            return false;
        }
    }
    releaseUnitsNotIn(plan.get());
    if (!configureUnits(*plan, error)) return false;
    plan->bindUnits();
    publish(std::move(plan));
    planCurrent_ = true;
    builtFor_ = limits;
    return true;
}

// What fails here fails again in start, which reports it.
void AVAudioEngine::prepare() {
    if (isRunning()) return;
    if (openDevice(nullptr) && !planIsCurrent()) rebuild(nullptr);
}

bool AVAudioEngine::startAndReturnError(Error* error) {
    if (isRunning()) return true;
    if (!openDevice(error)) return false;
    if (!planIsCurrent() && !rebuild(error)) return false;
    plan_.collectAll();
    sampleTime_ = 0;
    return device_->start(*this, error);
}

void AVAudioEngine::stop() {
    device_->stop();
    plan_.collectAll();
}

void AVAudioEngine::renderAudio(float* const* channels, uint32_t channelCount, uint32_t frames) noexcept {
    RenderPlan* plan = plan_.acquire();
    bool consumed = false;
    if (plan != nullptr) {
        consumed = plan->render(channels, channelCount, frames, sampleTime_);
    } else {
        for (uint32_t c = 0; c < channelCount; ++c) std::fill(channels[c], channels[c] + frames, 0.0f);
    }
    plan_.release();
    if (consumed) pump_->post();
}
