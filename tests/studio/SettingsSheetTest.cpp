// The settings sheet without a window: what each form shows, what its controls write, when it
// reads the device names, its version label and links, and how it looks drawn off-screen.

#include "studio/settings/SettingsLayout.h"
#include "studio/settings/SettingsRenderer.h"
#include "studio/ui/StudioStyle.h"

#include "tests/studio/ScriptedHardware.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;
using studio::Binding;
using studio::SettingsView;
using studio::SheetControl;

// The values the sheet's bindings reach, with a count of every write.
struct Settings {
    bool useLiveInput = false;
    bool monoSumOn = false;
    bool hissOn = false;
    float hissLevel = 40;
    int writes = 0;
    int dismissals = 0;

    template <class T>
    Binding<T> bind(T& value) {
        return {[&value] { return value; }, [this, &value](T v) {
                    value = v;
                    ++writes;
                }};
    }
};

// A bundle with an information file, and an opener that records the address it is given.
class SheetFixture : public ::testing::Test {
protected:
    SheetFixture() : workspace_(writeOpener()) { writeInfo(R"("CFBundleShortVersionString": "1.4", "CFBundleVersion": "1.4")"); }

    std::string writeOpener() {
        const auto opener = scratch.write("opener", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + scratch.file("opened.part").string() +
                                                        "\"\nmv \"" + scratch.file("opened.part").string() + "\" \"" +
                                                        scratch.file("opened").string() + "\"\n");
        chmod(opener.c_str(), 0755);
        return opener.string();
    }

    void writeInfo(const std::string& members) {
        scratch.write("Info.json", "{" + members + (members.empty() ? "" : ", ") +
                                       R"("TolvaneReviewPageURL": "https://tolvane.example/review", )"
                                       R"("TolvaneMakerSiteURL": "https://maker.example/")"
                                       "}");
    }

    SettingsView sheet(bool standalone) {
        return SettingsView(values.bind(values.useLiveInput), values.bind(values.monoSumOn), values.bind(values.hissOn),
                            values.bind(values.hissLevel), [this] { ++values.dismissals; }, standalone,
                            {hardware, workspace_, bundle_});
    }

    studio::SettingsSheetLayout layout(const SettingsView& view) {
        return layoutSettingsSheet(Rect{0, 0, 680, 486}, view, metrics);
    }

    // Presses the centre of the control's frame, as a click would.
    static SheetControl at(const studio::SettingsSheetLayout& l, const Rect& r) { return hitTestSheet(l, r.midX(), r.midY()); }

    std::string opened(std::chrono::milliseconds limit = 10s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!std::filesystem::exists(scratch.file("opened")) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        std::ifstream file(scratch.file("opened"));
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    TempFolder scratch;
    Bundle bundle_{scratch.path()};
    NSWorkspace workspace_;
    ScriptedHardware hardware;
    Settings values;
    EstimatedTextMetrics metrics;
};

std::vector<std::string> cardTitles(const studio::SettingsSheetLayout& l) {
    std::vector<std::string> titles;
    for (const auto& card : l.cards) titles.push_back(card.title.text);
    return titles;
}

std::vector<std::string> pillCaptions(const studio::SettingsSheetLayout& l) {
    std::vector<std::string> captions;
    for (const auto& pill : l.pills) captions.push_back(pill.caption.text + (pill.selected ? "*" : ""));
    return captions;
}

void press(SettingsView& view, SheetControl control) {
    switch (control) {
    case SheetControl::loop: view.selectLoop(); break;
    case SheetControl::stereo: view.selectStereo(); break;
    case SheetControl::mono: view.selectMono(); break;
    case SheetControl::hissOff: view.selectHissOff(); break;
    case SheetControl::hissOn: view.selectHissOn(); break;
    default: FAIL() << "not a pill";
    }
}

TEST_F(SheetFixture, StandaloneFormShowsItsCardsAndWritesThroughItsControls) {
    SettingsView view = sheet(true);
    view.appear();
    auto l = layout(view);
    EXPECT_EQ(cardTitles(l), (std::vector<std::string>{"INPUT SOURCE", "AUDIO DEVICES", "DEVICE HISS", "ENJOYING TOLVANE?"}));
    EXPECT_EQ(pillCaptions(l), (std::vector<std::string>{"LOOP*", "OFF*", "ON"}));
    ASSERT_TRUE(l.rate);
    EXPECT_EQ(l.rate->title.text, "RATE TOLVANE");
    EXPECT_EQ(l.title.text, "SETTINGS");
    EXPECT_GE(l.sheet.height, l.naturalHeight) << "the form fits the window's content";

    // Every pill writes its value, also the one already selected.
    for (const auto& pill : l.pills) press(view, at(l, pill.frame));
    EXPECT_EQ(values.writes, 3);
    EXPECT_FALSE(values.useLiveInput);
    EXPECT_TRUE(values.hissOn);
    press(view, SheetControl::hissOn);
    EXPECT_EQ(values.writes, 4);
    l = layout(view);
    EXPECT_EQ(pillCaptions(l), (std::vector<std::string>{"LOOP*", "OFF", "ON*"}));

    // The slider shows 40 at 40 % of its track, and its right end is exactly 100.
    const auto& track = l.slider.track;
    EXPECT_DOUBLE_EQ(l.slider.thumbX, track.x + 0.4 * track.width);
    EXPECT_EQ(hitTestSheet(l, track.x + track.width, track.midY()), SheetControl::hissSlider);
    view.moveHissSlider(studio::sheetSliderValueAt(l, track.x + track.width + 30));
    EXPECT_EQ(values.hissLevel, 100.0f);
    view.moveHissSlider(studio::sheetSliderValueAt(l, track.x + track.width / 4));
    EXPECT_EQ(values.hissLevel, 25.0f);

    EXPECT_EQ(at(l, l.done.frame), SheetControl::done);
    view.done();
    EXPECT_EQ(values.dismissals, 1);
}

TEST_F(SheetFixture, PluginFormShowsTheNoteMonoAndHissButNoDevicesOrReview) {
    values.monoSumOn = true;
    SettingsView view = sheet(false);
    view.appear();
    auto l = layout(view);
    EXPECT_EQ(cardTitles(l), (std::vector<std::string>{"AUDIO INPUT", "INPUT", "DEVICE HISS"}));
    EXPECT_EQ(pillCaptions(l), (std::vector<std::string>{"STEREO", "MONO*", "OFF*", "ON"}));
    EXPECT_FALSE(l.rate);
    std::string note;
    for (const auto& text : l.texts) note += (note.empty() ? "" : " ") + text.text;
    EXPECT_EQ(note, "Audio input is provided by the host application (Logic Pro, GarageBand, etc.)");
    EXPECT_EQ(hardware.log.size(), 4u) << "the names are read though not shown";

    press(view, at(l, l.pills[0].frame));
    EXPECT_FALSE(values.monoSumOn);
    press(view, at(l, l.pills[1].frame));
    EXPECT_TRUE(values.monoSumOn);
}

TEST_F(SheetFixture, DeviceNamesAreReadOnAppearAndOnAChangeOfTheInputSelectionOnly) {
    hardware.inputDevice = kAudioObjectUnknown;  // a machine without an input device
    SettingsView view = sheet(true);
    EXPECT_EQ(view.currentInputDeviceName(), "Unknown");
    EXPECT_EQ(view.currentOutputDeviceName(), "Unknown");
    view.update();
    EXPECT_TRUE(hardware.log.empty()) << "nothing is read before the sheet is on screen";

    view.appear();
    EXPECT_EQ(view.currentInputDeviceName(), "Unavailable");
    EXPECT_EQ(view.currentOutputDeviceName(), "Built-in Speakers");
    const auto l = layout(view);
    std::vector<std::string> shown;
    for (const auto& text : l.texts) shown.push_back(text.text);
    EXPECT_EQ(shown, (std::vector<std::string>{"DEFAULT INPUT", "Unavailable", "DEFAULT OUTPUT", "Built-in Speakers"}));

    // Hiss and mono changes, and writes of the same input selection, read nothing.
    hardware.log.clear();
    values.hissOn = true;
    values.monoSumOn = true;
    values.hissLevel = 70;
    view.update();
    view.selectLoop();
    view.update();
    EXPECT_TRUE(hardware.log.empty());

    // A change of the selection from elsewhere reads both again, input first, once.
    hardware.inputDevice = 71;
    values.useLiveInput = true;
    view.update();
    view.update();
    EXPECT_EQ(hardware.log, (std::vector<std::string>{"default input", "name of 71", "default output", "name of 72"}));
    EXPECT_EQ(view.currentInputDeviceName(), "USB Microphone");
}

TEST_F(SheetFixture, VersionLabelAndLinks) {
    SettingsView view = sheet(true);
    auto l = layout(view);
    ASSERT_TRUE(l.version);
    EXPECT_EQ(l.version->text, "v1.4") << "an equal build is not repeated";
    ASSERT_TRUE(l.link);
    EXPECT_EQ(l.link->text, "maker.example");
    EXPECT_EQ(at(l, l.link->frame), SheetControl::makerLink);
    EXPECT_EQ(at(l, l.rate->frame), SheetControl::rate);

    view.rateTolvane();
    EXPECT_EQ(opened(), "https://tolvane.example/review");

    // Without version keys only "Done" is in the header; an address that is not a web address
    // opens nothing.
    std::filesystem::remove(scratch.file("opened"));
    scratch.write("Info.json", R"({"CFBundleVersion": 7, "TolvaneReviewPageURL": "not a url", "TolvaneMakerSiteURL": ""})");
    l = layout(view);
    EXPECT_FALSE(l.version);
    EXPECT_FALSE(l.link);
    view.rateTolvane();
    view.openMakerSite();
    EXPECT_EQ(opened(300ms), "");
}

// Both forms drawn with the studio's fonts; the pictures stay in the build tree.
TEST_F(SheetFixture, DrawsBothFormsOffScreen) {
    const Bundle studioBundle(TOLVANE_STUDIO_RESOURCE_DIR);
    const BundleFonts fonts(studioBundle, studio::StudioFonts::files());
    ASSERT_TRUE(fonts.missing().empty()) << fonts.missing().front();
    const CairoTextMetrics textMetrics(fonts);
    const studio::SettingsRenderer renderer(fonts);
    std::filesystem::create_directories(TOLVANE_SCREENSHOT_DIR);
    values.hissOn = true;
    for (const bool standalone : {true, false}) {
        SettingsView view = sheet(standalone);
        view.appear();
        const auto l = layoutSettingsSheet(Rect{0, 0, 680, 486}, view, textMetrics);
        Surface surface = makeImageSurface(680, 486);
        Context cr = makeContext(surface.get());
        renderer.draw(cr.get(), l);
        const auto name = std::string("studio-settings-") + (standalone ? "standalone" : "plugin") + ".png";
        writePng(surface.get(), std::filesystem::path(TOLVANE_SCREENSHOT_DIR) / name);

        // The selected pill is a light plate with dark text; the sheet around it is black.
        cairo_surface_flush(surface.get());
        const auto pixel = [&](double x, double y) {
            const auto* row = cairo_image_surface_get_data(surface.get()) +
                              static_cast<int>(y) * cairo_image_surface_get_stride(surface.get());
            return reinterpret_cast<const uint32_t*>(row)[static_cast<int>(x)] & 0xFF;
        };
        const auto& on = l.pills[standalone ? 2 : 3];
        EXPECT_NEAR(pixel(on.frame.x + 3, on.frame.midY()), 0.7 * 255, 2) << name;
        EXPECT_EQ(pixel(2, l.sheet.height - 2), 0u) << name;
    }
}

}  // namespace
}  // namespace tolvane::test
