// The panel's pixels, drawn off-screen on a Cairo image surface: it draws at every scale, the lit
// button is the mode's, the pointer's angle follows the value, and RADIO's captions follow its
// branch. Each check measures coarse properties of the pixels, not exact images.

#include "tests/panel/PanelTestSupport.h"
#include "tests/panel/PixelFrame.h"

#include "panel/render/PanelRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace tolvane::test {
namespace {

class RenderTest : public ::testing::Test {
protected:
    PanelFixture f;
    PanelRenderer renderer{Bundle(TOLVANE_RESOURCE_DIR)};

    PanelLayout draw(Frame& frame, double width, double height) {
        const PanelLayout layout = layoutPanel(width, height, f.panel());
        Context cr = makeContext(frame.surface());
        renderer.draw(cr.get(), layout, f.panel());
        return layout;
    }
    void setMode(float mode) { f.observable("effectMode").applyHostUpdate(3, mode); }
};

TEST_F(RenderTest, TheBundleHoldsEveryImageAndFont) {
    EXPECT_TRUE(renderer.resources().missing().empty()) << renderer.resources().missing().front();
}

TEST_F(RenderTest, DrawsADarkTexturedPanelAtEveryScale) {
    for (double s : {0.5, 1.0, 2.0}) {
        const int w = static_cast<int>(672 * s), h = static_cast<int>(418 * s);
        Frame frame(w, h);
        const PanelLayout layout = draw(frame, w, h);
        // Dark overall, yet far from flat: texture, art and text.
        const double mean = frame.mean(layout.panel, [](Pixel p) { return p.brightness(); });
        const double spread = frame.mean(layout.panel, [mean](Pixel p) { return std::pow(p.brightness() - mean, 2); });
        EXPECT_LT(mean, 0.3) << s;
        EXPECT_GT(std::sqrt(spread), 0.04) << s;
        // Each readout shows its value in lit red.
        const Rect readout = layout.knobs[3].readout;
        EXPECT_GT(frame.mean(readout, [](Pixel p) { return p.r - p.b; }), 0.05) << s;
        writePng(frame.surface(), "panel-render-" + std::to_string(static_cast<int>(s * 100)) + ".png");
    }
}

TEST_F(RenderTest, TheLitButtonIsTheModes) {
    Frame frame(672, 418);
    for (int mode = 0; mode < 8; ++mode) {
        setMode(static_cast<float>(mode));
        const PanelLayout layout = draw(frame, 672, 418);
        int warmest = -1;
        double best = -1;
        for (const auto& button : layout.buttons) {
            const double warmth = frame.mean(button.frame, [](Pixel p) { return p.r - p.b; });
            if (warmth > best) {
                best = warmth;
                warmest = button.effectIndex;
            }
        }
        EXPECT_EQ(warmest, mode);
    }
}

// The pointer's angle as the pixels show it: the direction of the bright pointer's centroid seen
// from its pivot, in degrees clockwise from straight up.
double measuredPointerAngle(const Frame& frame, const KnobLayout& knob, double s) {
    const double ax = knob.face.x + 0.505 * knob.face.width, ay = knob.face.y + 0.533 * knob.face.height;
    double sx = 0, sy = 0;
    int n = 0;
    for (int y = static_cast<int>(knob.face.y); y < static_cast<int>(knob.face.y + knob.face.height); ++y) {
        for (int x = static_cast<int>(knob.face.x); x < static_cast<int>(knob.face.x + knob.face.width); ++x) {
            const double r = std::hypot(x + 0.5 - ax, y + 0.5 - ay);
            if (r < 12 * s || r > 30 * s || frame.at(x, y).brightness() < 0.75) continue;
            sx += x + 0.5 - ax;
            sy += y + 0.5 - ay;
            ++n;
        }
    }
    if (n == 0) return NAN;
    return std::atan2(sx, -sy) * 180 / M_PI;
}

TEST_F(RenderTest, ThePointerAngleFollowsTheValue) {
    for (double s : {1.0, 2.0}) {
        const int w = static_cast<int>(672 * s), h = static_cast<int>(418 * s);
        Frame frame(w, h);
        for (auto [value, angle] : std::array<std::array<double, 2>, 4>{{{0, -144}, {100, 144}, {50, 0}, {25, -72}}}) {
            f.observable("outputLevel").applyHostUpdate(5, static_cast<float>(value));
            f.observable("compressor").applyHostUpdate(0, static_cast<float>(value));
            const PanelLayout layout = draw(frame, w, h);
            EXPECT_NEAR(measuredPointerAngle(frame, layout.knobs[0], s), angle, 4) << "value " << value << " s " << s;
            EXPECT_NEAR(measuredPointerAngle(frame, layout.knobs[3], s), angle, 4) << "value " << value << " s " << s;
        }
    }
}

// The width of the caption's ink in the first knob's caption line.
double captionInkWidth(const Frame& frame, const KnobLayout& knob) {
    int left = INT32_MAX, right = -1;
    for (int y = static_cast<int>(knob.caption.y); y < static_cast<int>(knob.caption.y + knob.caption.height); ++y) {
        for (int x = static_cast<int>(knob.caption.x); x < static_cast<int>(knob.caption.x + knob.caption.width); ++x) {
            if (frame.at(x, y).brightness() < 0.5) continue;
            left = std::min(left, x);
            right = std::max(right, x);
        }
    }
    return right < 0 ? 0 : right - left + 1;
}

TEST_F(RenderTest, RadioShowsItsAmCaptionsInTheAmBranch) {
    Frame frame(672, 418);
    setMode(5);
    f.observable("amFmMode").applyHostUpdate(7, 1);
    const double fm = captionInkWidth(frame, draw(frame, 672, 418).knobs[0]);  // "FREQUENCY"
    f.observable("amFmMode").applyHostUpdate(7, 0);
    const double am = captionInkWidth(frame, draw(frame, 672, 418).knobs[0]);  // "TUNING"
    writePng(frame.surface(), "panel-render-radio-am.png");
    EXPECT_GT(fm, 40);
    EXPECT_GT(am, 20);
    EXPECT_LT(am, 0.8 * fm);
}

}  // namespace
}  // namespace tolvane::test
