#include "platform/audiotoolbox/AUAudioUnit.h"

#include <gtest/gtest.h>

namespace {

AVAudioFormat format(double rate, uint32_t channels) { return *AVAudioFormat::standardFormat(rate, channels); }

// A unit with one input and one output bus that accepts only mono formats on its input.
class MonoInputUnit : public AUAudioUnit {
public:
    MonoInputUnit() {
        input_ = AUAudioUnitBus::initWithFormat(format(44100, 1), nullptr);
        output_ = AUAudioUnitBus::initWithFormat(format(44100, 2), nullptr);
        inputs_.emplace(*this, AUAudioUnitBusType::input, std::vector{input_});
        outputs_.emplace(*this, AUAudioUnitBusType::output, std::vector{output_});
    }
    AUAudioUnitBusArray* inputBusses() override { return &*inputs_; }
    AUAudioUnitBusArray* outputBusses() override { return &*outputs_; }
    bool shouldChangeToFormat(const AVAudioFormat& f, AUAudioUnitBus& bus) override {
        ++asked;
        return bus.busType() == AUAudioUnitBusType::output || f.channelCount() == 1;
    }
    int asked = 0;
    std::shared_ptr<AUAudioUnitBus> input_, output_;

private:
    std::optional<AUAudioUnitBusArray> inputs_, outputs_;
};

TEST(FourCharCodeTest, FirstCharacterInTheHighByte) {
    EXPECT_EQ(fourCharCode("aufx"), 0x61756678u);
    EXPECT_EQ(fourCharCode("MrLw"), 0x4D724C77u);
}

TEST(AVAudioFormatTest, StandardFormatRefusesInvalidRatesAndChannelCounts) {
    EXPECT_TRUE(AVAudioFormat::standardFormat(44100, 2).has_value());
    EXPECT_FALSE(AVAudioFormat::standardFormat(0, 2).has_value());
    EXPECT_FALSE(AVAudioFormat::standardFormat(-48000, 2).has_value());
    EXPECT_FALSE(AVAudioFormat::standardFormat(std::nan(""), 2).has_value());
    EXPECT_FALSE(AVAudioFormat::standardFormat(48000, 0).has_value());
}

TEST(AUAudioUnitBusTest, FormatChangesAreDecidedByTheOwningUnit) {
    auto unit = std::make_shared<MonoInputUnit>();
    Error error;
    EXPECT_TRUE(unit->input_->setFormat(format(48000, 1), &error));
    EXPECT_EQ(unit->input_->format().sampleRate(), 48000);
    EXPECT_FALSE(unit->input_->setFormat(format(48000, 2), &error));
    EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
    EXPECT_EQ(unit->input_->format().channelCount(), 1u);
    EXPECT_TRUE(unit->output_->setFormat(format(48000, 4), nullptr));
    EXPECT_EQ(unit->asked, 3);
}

TEST(AUAudioUnitBusTest, OwnerlessBusFollowsItsSupportedChannelCounts) {
    auto bus = AUAudioUnitBus::initWithFormat(format(44100, 2), nullptr);
    bus->setSupportedChannelCounts({1, 2});
    EXPECT_TRUE(bus->setFormat(format(44100, 1), nullptr));
    EXPECT_FALSE(bus->setFormat(format(44100, 3), nullptr));
}

TEST(AUAudioUnitTest, AllocationRefusesMismatchedRatesAndLocksFormats) {
    auto unit = std::make_shared<MonoInputUnit>();
    ASSERT_TRUE(unit->input_->setFormat(format(48000, 1), nullptr));
    Error error;
    EXPECT_FALSE(unit->allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(unit->renderResourcesAllocated());

    ASSERT_TRUE(unit->output_->setFormat(format(48000, 2), nullptr));
    ASSERT_TRUE(unit->allocateRenderResources(&error));
    EXPECT_FALSE(unit->output_->setFormat(format(96000, 2), &error));
    EXPECT_EQ(error.code, kAudioUnitErr_Initialized);
    EXPECT_FALSE(unit->setMaximumFramesToRender(1024));
    unit->deallocateRenderResources();
    EXPECT_TRUE(unit->setMaximumFramesToRender(1024));
    EXPECT_EQ(unit->maximumFramesToRender(), 1024u);
}

TEST(AUAudioUnitTest, InitialiserNeedsAComponentType) {
    auto unit = std::make_shared<MonoInputUnit>();
    Error error;
    EXPECT_FALSE(unit->initWithComponentDescription({}, 0, &error));
    EXPECT_EQ(error.code, kAudio_ParamError);
    AudioComponentDescription d{fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw")};
    EXPECT_TRUE(unit->initWithComponentDescription(d, 0, &error));
    EXPECT_EQ(unit->componentDescription(), d);
}

TEST(AUAudioUnitTest, AllParameterValuesObserversAndContextName) {
    auto unit = std::make_shared<MonoInputUnit>();
    int calls = 0;
    auto token = unit->observeAllParameterValues([&] { ++calls; });
    unit->notifyAllParameterValuesChanged();
    unit->removeAllParameterValuesObserver(token);
    unit->notifyAllParameterValuesChanged();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(unit->contextName().has_value());
    unit->setContextName("standalone");
    EXPECT_EQ(unit->contextName(), "standalone");
}

TEST(ErrorTest, DescriptionNamesDomainCodeAndMessage) {
    Error e{"NAMPlayer", -2, "frameCount exceeds maxFrames"};
    EXPECT_EQ(e.description(), "Error Domain=NAMPlayer Code=-2 \"frameCount exceeds maxFrames\"");
}

}  // namespace
