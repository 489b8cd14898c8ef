#include "studio/settings/SettingsLayout.h"

#include "studio/ui/StudioStyle.h"

#include <algorithm>

namespace tolvane::studio {

namespace {

constexpr double kOuterPadding = 24;
constexpr double kHeaderTopPadding = 28;
constexpr double kStackSpacing = 24;
constexpr double kDefaultSpacing = 8;
constexpr double kHeaderGroupSpacing = 10;
constexpr double kFormSpacing = 18;
constexpr double kRowSpacing = 16;
constexpr double kCardPadding = 14;
constexpr double kCardSpacing = 12;
constexpr double kPillPaddingX = 10;
constexpr double kPillPaddingY = 8;
constexpr double kPillSpacing = 10;
constexpr double kPillMinimumScale = 0.8;
constexpr double kHissSpacing = 12;
constexpr double kSliderHeight = 20;
constexpr double kSliderThumb = 16;
constexpr double kDeviceEntrySpacing = 8;
constexpr double kDeviceCaptionSpacing = 4;
constexpr double kRatePaddingX = 10;
constexpr double kRatePaddingY = 12;

constexpr double kTitleSize = 20;
constexpr double kCardTitleSize = 12;
constexpr double kPillSize = 13;
constexpr double kDeviceCaptionSize = 11;
constexpr double kDeviceNameSize = 13;
constexpr double kNoteSize = 11;
constexpr double kRateSize = 15;
constexpr double kSmallSystemSize = 11;

constexpr Rgba kWhite = Rgba::grey(1);
constexpr Rgba kBlack = Rgba::grey(0);

const Rgba& label() { return SettingsView::labelColor; }

// Builds the sheet from the top down; `y` is where the next thing goes.
class SheetBuilder {
public:
    SheetBuilder(const Rect& area, const SettingsView& view, const TextMetrics& metrics)
        : view_(view), metrics_(metrics), left_(area.x + kOuterPadding), width_(area.width - 2 * kOuterPadding) {
        out_.sheet = area;
    }

    SettingsSheetLayout build() {
        const Rect& area = out_.sheet;
        double y = area.y + kHeaderTopPadding;
        y = header(y) + kStackSpacing;
        out_.divider = Rect{left_, y, width_, 1};
        y += 1 + kStackSpacing;
        y = view_.isStandalone() ? standaloneForm(y) : pluginForm(y);
        // The flexible space sits between the form and the footer, with the stack's spacing on
        // both sides of it.
        y += 2 * kStackSpacing;
        const double linkHeight = metrics_.lineHeight(StudioFonts::system, kSmallSystemSize);
        out_.naturalHeight = y + linkHeight + kOuterPadding - area.y;
        const double footerTop = std::max(y, area.y + area.height - kOuterPadding - linkHeight);
        if (const auto host = view_.makerSiteHost()) {
            out_.link = text(*host, StudioFonts::system, kSmallSystemSize, kWhite.withAlpha(0.78), left_, footerTop);
        }
        return std::move(out_);
    }

private:
    TextRun text(std::string value, std::string_view font, double size, Rgba color, double x, double top) const {
        return textRun(metrics_, std::move(value), font, size, color, x, top);
    }

    // "SETTINGS" centred in the space the version and "Done" leave at the right end.
    double header(double y) {
        const Extent done = StudioStyle::pushButtonSize(metrics_, "Done");
        const std::string version = view_.versionString();
        const double versionWidth = version.empty() ? 0 : metrics_.width(StudioFonts::system, kSmallSystemSize, version);
        const double versionHeight = version.empty() ? 0 : metrics_.lineHeight(StudioFonts::system, kSmallSystemSize);
        const double titleWidth = metrics_.width(StudioFonts::caption, kTitleSize, "SETTINGS");
        const double titleHeight = metrics_.lineHeight(StudioFonts::caption, kTitleSize);
        const double height = std::max({titleHeight, versionHeight, done.height});
        const double mid = y + height / 2;

        const Rect doneFrame = centredRect(left_ + width_ - done.width / 2, mid, done.width, done.height);
        const double doneTitleWidth = metrics_.width(StudioFonts::system, StudioStyle::kSystemFontSize, "Done");
        const double doneTitleHeight = metrics_.lineHeight(StudioFonts::system, StudioStyle::kSystemFontSize);
        out_.done = SheetButton{doneFrame, text("Done", StudioFonts::system, StudioStyle::kSystemFontSize, kWhite,
                                                doneFrame.midX() - doneTitleWidth / 2, mid - doneTitleHeight / 2)};
        double group = done.width;
        if (!version.empty()) {
            out_.version = text(version, StudioFonts::system, kSmallSystemSize, kWhite.withAlpha(0.72),
                                doneFrame.x - kHeaderGroupSpacing - versionWidth, mid - versionHeight / 2);
            group += kHeaderGroupSpacing + versionWidth;
        }
        const double free = std::max(0.0, width_ - titleWidth - group - 3 * kDefaultSpacing);
        out_.title = text("SETTINGS", StudioFonts::caption, kTitleSize, label(), left_ + kDefaultSpacing + free / 2,
                          mid - titleHeight / 2);
        return y + height;
    }

    // A card's plate and title at (x, y); returns its height.
    double card(std::string title, double x, double y, double width, double contentHeight) {
        const double titleHeight = metrics_.lineHeight(StudioFonts::caption, kCardTitleSize);
        const double height = kCardPadding + titleHeight + kCardSpacing + contentHeight + kCardPadding;
        out_.cards.push_back(SheetCard{Rect{x, y, width, height},
                                       text(std::move(title), StudioFonts::caption, kCardTitleSize,
                                            label().withAlpha(0.9), x + kCardPadding, y + kCardPadding)});
        return height;
    }

    double contentTop(double y) const {
        return y + kCardPadding + metrics_.lineHeight(StudioFonts::caption, kCardTitleSize) + kCardSpacing;
    }

    double pillHeight() const { return metrics_.lineHeight(StudioFonts::caption, kPillSize) + 2 * kPillPaddingY; }

    // A row of pills at (x, y) within `width`; captions shrink (to 0.8 at most) when the row is
    // wider than that.
    double pills(const std::vector<std::pair<std::string, SheetControl>>& captions, const std::vector<bool>& selected,
                 double x, double y, double width) {
        double natural = kPillSpacing * static_cast<double>(captions.size() - 1);
        for (const auto& [caption, control] : captions) {
            natural += metrics_.width(StudioFonts::caption, kPillSize, caption) + 2 * kPillPaddingX;
        }
        const double textRoom = natural - 2 * kPillPaddingX * static_cast<double>(captions.size()) -
                                kPillSpacing * static_cast<double>(captions.size() - 1);
        const double available = width - (natural - textRoom);
        const double scale = natural <= width || textRoom <= 0 ? 1 : std::max(kPillMinimumScale, available / textRoom);
        const double size = kPillSize * scale;
        const double height = pillHeight();
        for (std::size_t i = 0; i < captions.size(); ++i) {
            const double textWidth = metrics_.width(StudioFonts::caption, size, captions[i].first);
            const double textHeight = metrics_.lineHeight(StudioFonts::caption, size);
            const Rect frame{x, y, textWidth + 2 * kPillPaddingX, height};
            out_.pills.push_back(SheetPill{
                frame,
                text(captions[i].first, StudioFonts::caption, size, selected[i] ? kBlack : label(), x + kPillPaddingX,
                     frame.midY() - textHeight / 2),
                selected[i], captions[i].second});
            x += frame.width + kPillSpacing;
        }
        return height;
    }

    double hissControlsHeight() const { return pillHeight() + kHissSpacing + kSliderHeight; }

    void hissControls(double x, double y, double width) {
        const bool on = view_.hissOn();
        pills({{"OFF", SheetControl::hissOff}, {"ON", SheetControl::hissOn}}, {!on, on}, x, y, width);
        const double sliderTop = y + pillHeight() + kHissSpacing;
        out_.slider.frame = Rect{x, sliderTop, width, kSliderHeight};
        out_.slider.track = Rect{x + kSliderThumb / 2, sliderTop + kSliderHeight / 2 - 2, width - kSliderThumb, 4};
        const double fraction = std::clamp(view_.hissLevel() / SettingsView::kHissLevelMaximum, 0.0, 1.0);
        out_.slider.thumbX = out_.slider.track.x + fraction * out_.slider.track.width;
    }

    double devicesHeight() const {
        const double entry = metrics_.lineHeight(StudioFonts::caption, kDeviceCaptionSize) + kDeviceCaptionSpacing +
                             metrics_.lineHeight(StudioFonts::caption, kDeviceNameSize);
        return 2 * entry + kDeviceEntrySpacing;
    }

    void devices(double x, double y, double width) {
        const std::pair<const char*, const std::string*> entries[] = {
            {"DEFAULT INPUT", &view_.currentInputDeviceName()}, {"DEFAULT OUTPUT", &view_.currentOutputDeviceName()}};
        for (const auto& [caption, name] : entries) {
            out_.texts.push_back(
                text(caption, StudioFonts::caption, kDeviceCaptionSize, label().withAlpha(0.75), x, y));
            y += metrics_.lineHeight(StudioFonts::caption, kDeviceCaptionSize) + kDeviceCaptionSpacing;
            out_.texts.push_back(text(truncatedText(metrics_, StudioFonts::caption, kDeviceNameSize, *name, width),
                                      StudioFonts::caption, kDeviceNameSize, kWhite, x, y));
            y += metrics_.lineHeight(StudioFonts::caption, kDeviceNameSize) + kDeviceEntrySpacing;
        }
    }

    double rateHeight() const { return metrics_.lineHeight(StudioFonts::caption, kRateSize) + 2 * kRatePaddingY; }

    void rate(double x, double y, double width) {
        const Rect frame{x, y, width, rateHeight()};
        const double titleWidth = metrics_.width(StudioFonts::caption, kRateSize, "RATE TOLVANE");
        out_.rate = SheetButton{frame, text("RATE TOLVANE", StudioFonts::caption, kRateSize, kWhite,
                                            frame.midX() - titleWidth / 2, y + kRatePaddingY)};
    }

    double standaloneForm(double y) {
        // Row 1: the input source, the looped file only.
        const double loopHeight = card("INPUT SOURCE", left_, y, width_, pillHeight());
        pills({{"LOOP", SheetControl::loop}}, {true}, left_ + kCardPadding, contentTop(y), width_ - 2 * kCardPadding);
        y += loopHeight + kFormSpacing;

        // Row 2: three cards of equal width, aligned at the top.
        const double cardWidth = (width_ - 2 * kRowSpacing) / 3;
        const double inner = cardWidth - 2 * kCardPadding;
        double x = left_;
        const double devicesCard = card("AUDIO DEVICES", x, y, cardWidth, devicesHeight());
        devices(x + kCardPadding, contentTop(y), inner);
        x += cardWidth + kRowSpacing;
        const double hissCard = card("DEVICE HISS", x, y, cardWidth, hissControlsHeight());
        hissControls(x + kCardPadding, contentTop(y), inner);
        x += cardWidth + kRowSpacing;
        const double reviewCard = card("ENJOYING TOLVANE?", x, y, cardWidth, rateHeight());
        rate(x + kCardPadding, contentTop(y), inner);
        return y + std::max({devicesCard, hissCard, reviewCard});
    }

    double pluginForm(double y) {
        const std::string note = "Audio input is provided by the host application (Logic Pro, GarageBand, etc.)";
        const double inner = width_ - 2 * kCardPadding;
        const auto lines = wrapText(metrics_, StudioFonts::caption, kNoteSize, note, inner);
        const double lineHeight = metrics_.lineHeight(StudioFonts::caption, kNoteSize);
        const double noteCard = card("AUDIO INPUT", left_, y, width_, lineHeight * static_cast<double>(lines.size()));
        double lineTop = contentTop(y);
        for (const std::string& line : lines) {
            out_.texts.push_back(
                text(line, StudioFonts::caption, kNoteSize, label().withAlpha(0.7), left_ + kCardPadding, lineTop));
            lineTop += lineHeight;
        }
        y += noteCard + kFormSpacing;

        const double cardWidth = (width_ - kRowSpacing) / 2;
        const double cardInner = cardWidth - 2 * kCardPadding;
        const bool mono = view_.monoSumOn();
        const double inputCard = card("INPUT", left_, y, cardWidth, pillHeight());
        pills({{"STEREO", SheetControl::stereo}, {"MONO", SheetControl::mono}}, {!mono, mono}, left_ + kCardPadding,
              contentTop(y), cardInner);
        const double x = left_ + cardWidth + kRowSpacing;
        const double hissCard = card("DEVICE HISS", x, y, cardWidth, hissControlsHeight());
        hissControls(x + kCardPadding, contentTop(y), cardInner);
        return y + std::max(inputCard, hissCard);
    }

    const SettingsView& view_;
    const TextMetrics& metrics_;
    double left_;
    double width_;
    SettingsSheetLayout out_;
};

}  // namespace

SettingsSheetLayout layoutSettingsSheet(const Rect& area, const SettingsView& view, const TextMetrics& metrics) {
    return SheetBuilder(area, view, metrics).build();
}

SheetControl hitTestSheet(const SettingsSheetLayout& layout, double x, double y) {
    if (layout.done.frame.contains(x, y)) return SheetControl::done;
    for (const SheetPill& pill : layout.pills) {
        if (pill.frame.contains(x, y)) return pill.control;
    }
    if (layout.slider.frame.contains(x, y)) return SheetControl::hissSlider;
    if (layout.rate && layout.rate->frame.contains(x, y)) return SheetControl::rate;
    if (layout.link && layout.link->frame.contains(x, y)) return SheetControl::makerLink;
    return SheetControl::none;
}

double sheetSliderValueAt(const SettingsSheetLayout& layout, double x) {
    const Rect& track = layout.slider.track;
    if (track.width <= 0) return 0;
    return std::clamp((x - track.x) / track.width, 0.0, 1.0) * SettingsView::kHissLevelMaximum;
}

}  // namespace tolvane::studio
