#include "platform/audiotoolbox/AUAudioUnit.h"

#include <algorithm>
#include <string>

namespace {
void setStatusError(Error* error, OSStatus status, std::string message) {
    setError(error, std::string(kOSStatusErrorDomain), status, std::move(message));
}
}  // namespace

std::shared_ptr<AUAudioUnitBus> AUAudioUnitBus::initWithFormat(const AVAudioFormat& format, Error* error) {
    if (format.channelCount() == 0) {
        setStatusError(error, kAudioUnitErr_FormatNotSupported, "a bus needs at least one channel");
        return nullptr;
    }
    return std::make_shared<AUAudioUnitBus>(format);
}

bool AUAudioUnitBus::setFormat(const AVAudioFormat& format, Error* error) {
    if (owner_ != nullptr && owner_->renderResourcesAllocated()) {
        setStatusError(error, kAudioUnitErr_Initialized, "cannot change a bus format while render resources are allocated");
        return false;
    }
    const bool accepted = owner_ != nullptr
                              ? owner_->shouldChangeToFormat(format, *this)
                              : supportedChannelCounts_.empty() ||
                                    std::ranges::find(supportedChannelCounts_, format.channelCount()) !=
                                        supportedChannelCounts_.end();
    if (!accepted) {
        setStatusError(error, kAudioUnitErr_FormatNotSupported,
                       "format with " + std::to_string(format.channelCount()) + " channels is not supported");
        return false;
    }
    format_ = format;
    return true;
}

AUAudioUnitBusArray::AUAudioUnitBusArray(AUAudioUnit& owner, AUAudioUnitBusType type,
                                         std::vector<std::shared_ptr<AUAudioUnitBus>> busses)
    : owner_(owner), busType_(type), busses_(std::move(busses)) {
    NSInteger index = 0;
    for (auto& bus : busses_) {
        bus->owner_ = &owner_;
        bus->busType_ = type;
        bus->index_ = index++;
    }
}

AUAudioUnit::~AUAudioUnit() = default;

bool AUAudioUnit::initWithComponentDescription(const AudioComponentDescription& description,
                                               AudioComponentInstantiationOptions, Error* error) {
    if (description.componentType == 0) {
        setStatusError(error, kAudio_ParamError, "component description has no component type");
        return false;
    }
    componentDescription_ = description;
    return true;
}

bool AUAudioUnit::shouldChangeToFormat(const AVAudioFormat& format, AUAudioUnitBus& bus) {
    const auto& counts = bus.supportedChannelCounts();
    return counts.empty() || std::ranges::find(counts, format.channelCount()) != counts.end();
}

bool AUAudioUnit::setMaximumFramesToRender(AUAudioFrameCount frames) {
    if (renderResourcesAllocated()) return false;
    maximumFramesToRender_ = frames;
    return true;
}

bool AUAudioUnit::allocateRenderResources(Error* error) {
    AUAudioUnitBusArray* outputs = outputBusses();
    AUAudioUnitBusArray* inputs = inputBusses();
    if (outputs != nullptr && outputs->count() > 0 && inputs != nullptr) {
        const double rate = (*outputs)[0].format().sampleRate();
        for (std::size_t i = 0; i < inputs->count(); ++i) {
            if ((*inputs)[i].format().sampleRate() != rate) {
                setStatusError(error, kAudioUnitErr_FormatNotSupported,
                               "input and output buses run at different sample rates");
                return false;
            }
        }
    }
    renderResourcesAllocated_.store(true);
    return true;
}

void AUAudioUnit::deallocateRenderResources() { renderResourcesAllocated_.store(false); }

AUInternalRenderBlock AUAudioUnit::internalRenderBlock() { return {}; }

AUAudioUnit::ObserverToken AUAudioUnit::addObserver(ObserverList& list, std::function<void()> observer) {
    std::lock_guard lock(mutex_);
    list.emplace_back(nextToken_, std::move(observer));
    return nextToken_++;
}

void AUAudioUnit::removeObserver(ObserverList& list, ObserverToken token) {
    std::lock_guard lock(mutex_);
    std::erase_if(list, [token](const auto& entry) { return entry.first == token; });
}

void AUAudioUnit::notify(const ObserverList& list) {
    std::vector<std::function<void()>> observers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : list) observers.push_back(entry.second);
    }
    for (const auto& observer : observers) observer();
}

AUAudioUnit::ObserverToken AUAudioUnit::observeAllParameterValues(std::function<void()> observer) {
    return addObserver(allValuesObservers_, std::move(observer));
}

void AUAudioUnit::removeAllParameterValuesObserver(ObserverToken token) { removeObserver(allValuesObservers_, token); }

void AUAudioUnit::notifyAllParameterValuesChanged() { notify(allValuesObservers_); }

std::optional<std::string> AUAudioUnit::contextName() const {
    std::lock_guard lock(mutex_);
    return contextName_;
}

void AUAudioUnit::setContextName(std::optional<std::string> name) {
    {
        std::lock_guard lock(mutex_);
        contextName_ = std::move(name);
    }
    notify(contextNameObservers_);
}

AUAudioUnit::ObserverToken AUAudioUnit::observeContextName(std::function<void()> observer) {
    return addObserver(contextNameObservers_, std::move(observer));
}

void AUAudioUnit::removeContextNameObserver(ObserverToken token) { removeObserver(contextNameObservers_, token); }

void AUAudioUnit::requestViewControllerWithCompletionHandler(
    std::function<void(std::shared_ptr<AUViewController>)> completion) {
    if (completion) completion(nullptr);
}
