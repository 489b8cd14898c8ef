// The layers that cover the panel: the settings overlay, the preset-name dialog and the preset
// chooser.

#include "panel/layout/LayoutParts.h"

#include <algorithm>

namespace panel_layout {

namespace {

constexpr double kOverlayInset = 22;
constexpr double kOverlaySpacing = 18;
constexpr double kHeaderTopPadding = 14;
constexpr double kDefaultSpacing = 8;
constexpr double kVersionSpacing = 10;
constexpr double kHissSpacing = 7;
constexpr double kHissRowSpacing = 10;

constexpr double kDialogWidth = 280;
constexpr double kDialogPadding = 20;
constexpr double kDialogSpacing = 14;
constexpr double kButtonSpacing = 8;
constexpr double kFieldPaddingX = 10;
constexpr double kFieldPaddingY = 8;

constexpr double kChooserTopSpace = 46;
constexpr double kChooserWidth = 320;
constexpr double kChooserPadding = 10;
constexpr double kChooserSpacing = 4;
constexpr double kChooserMaxListHeight = 320;
constexpr double kRowPaddingY = 4;
constexpr double kRowSpacing = 2;
constexpr double kEmptyTextPadding = 10;
constexpr double kTrashSymbolSize = 12;
constexpr double kTrashPadding = 6;
constexpr double kScrollIndicatorWidth = 3;
constexpr double kScrollIndicatorInset = 2;
constexpr double kScrollIndicatorMinHeight = 20;

// A one-point divider is one device pixel at least.
double dividerThickness(double s) { return std::max(1.0, s); }

}  // namespace

SettingsOverlayLayout layoutSettingsOverlay(const Frame& f, const Kessrin_VinylExtensionMainView& view,
                                            const TextMetrics& metrics) {
    const double s = f.s;
    SettingsOverlayLayout o;
    o.cover = f.panel;
    const double left = f.panel.x + kOverlayInset * s;
    const double width = f.panel.width - 2 * kOverlayInset * s;

    const Extent title{metrics.width(PanelFonts::caption, 16 * s, "SETTINGS"), metrics.lineHeight(PanelFonts::caption, 16 * s)};
    const Extent done{metrics.width(PanelFonts::caption, 13 * s, "Done"), metrics.lineHeight(PanelFonts::caption, 13 * s)};
    const std::string version = view.versionLabel();
    const Extent versionSize{version.empty() ? 0 : metrics.width(PanelFonts::system, 9 * s, version),
                             version.empty() ? 0 : metrics.lineHeight(PanelFonts::system, 9 * s)};
    const double headerHeight = std::max({title.height, done.height, versionSize.height});

    const double hissCaptionHeight = metrics.lineHeight(PanelFonts::caption, 10 * s);
    const Extent off = toggleButtonLabelSize(metrics, "OFF", s);
    const Extent on = toggleButtonLabelSize(metrics, "ON", s);
    const double rowHeight = std::max({off.height, on.height, kSliderHeight * s});
    const double linkHeight = metrics.lineHeight(PanelFonts::system, 9 * s);
    const double divider = dividerThickness(s);

    // The column is centred on the panel.
    const double total = kHeaderTopPadding * s + headerHeight + kOverlaySpacing * s + divider + kOverlaySpacing * s +
                         hissCaptionHeight + kHissSpacing * s + rowHeight + kOverlaySpacing * s + linkHeight;
    double y = f.cy() - total / 2 + kHeaderTopPadding * s;

    // Header: "SETTINGS" between two flexible spaces, the version and "Done" at the right end.
    const double headerMid = y + headerHeight / 2;
    o.done = centredRect(left + width - done.width / 2, headerMid, done.width, done.height);
    double groupWidth = done.width;
    if (!version.empty()) {
        o.version = Rect{o.done.x - kVersionSpacing * s - versionSize.width, headerMid - versionSize.height / 2,
                         versionSize.width, versionSize.height};
        groupWidth += kVersionSpacing * s + versionSize.width;
    }
    const double free = std::max(0.0, width - title.width - groupWidth - 3 * kDefaultSpacing * s);
    o.title = Rect{left + free / 2 + kDefaultSpacing * s, headerMid - title.height / 2, title.width, title.height};
    y += headerHeight + kOverlaySpacing * s;

    o.divider = Rect{left, y, width, divider};
    y += divider + kOverlaySpacing * s;

    o.hissCaption = Rect{left, y, metrics.width(PanelFonts::caption, 10 * s, "DEVICE HISS"), hissCaptionHeight};
    y += hissCaptionHeight + kHissSpacing * s;
    const double rowMid = y + rowHeight / 2;
    const bool hissOn = view.isHissOn();
    o.hissOff = labelButton(left, rowMid - off.height / 2, off, "OFF", !hissOn, true);
    const double onLeft = left + off.width + kHissRowSpacing * s;
    o.hissOnButton = labelButton(onLeft, rowMid - on.height / 2, on, "ON", hissOn, true);
    o.slider = centredRect(onLeft + on.width + kHissRowSpacing * s + kSliderWidth * s / 2, rowMid, kSliderWidth * s,
                           kSliderHeight * s);
    // The thumb's centre runs from one end of the track to the other.
    o.sliderTrack = centredRect(o.slider.midX(), rowMid, (kSliderWidth - kSliderThumb) * s, 3 * s);
    y += rowHeight + kOverlaySpacing * s;

    o.link = Rect{left, y, metrics.width(PanelFonts::system, 9 * s, Kessrin_VinylExtensionMainView::makerSiteHost()),
                  linkHeight};
    return o;
}

PresetDialogLayout layoutPresetDialog(const Frame& f, const Kessrin_VinylExtensionMainView& view,
                                      PresetDialogMode mode, const TextMetrics& metrics) {
    const double s = f.s;
    PresetDialogLayout d;
    d.mode = mode;
    d.cover = f.panel;
    const double boxWidth = std::min(kDialogWidth * s, f.panel.width / 2);
    const double content = boxWidth - 2 * kDialogPadding * s;
    const double titleHeight = metrics.lineHeight(PanelFonts::caption, 16 * s);
    double bodyHeight = 0;
    if (mode == PresetDialogMode::saveAs) {
        bodyHeight = metrics.lineHeight(PanelFonts::system, 14 * s) + 2 * kFieldPaddingY * s;
    } else {
        d.messageLines = wrapText(metrics, PanelFonts::system, 13 * s, view.presetDialogMessage(), content);
        bodyHeight = static_cast<double>(d.messageLines.size()) * metrics.lineHeight(PanelFonts::system, 13 * s);
    }
    const std::string confirmTitle = Kessrin_VinylExtensionMainView::presetDialogConfirmTitle(mode);
    const Extent cancel = panelButtonLabelSize(metrics, "CANCEL", s);
    const Extent confirm = panelButtonLabelSize(metrics, confirmTitle, s);
    const double buttonsHeight = std::max(cancel.height, confirm.height);
    const double boxHeight = 2 * kDialogPadding * s + titleHeight + kDialogSpacing * s + bodyHeight +
                             kDialogSpacing * s + buttonsHeight;
    d.box = centredRect(f.cx(), f.cy(), boxWidth, boxHeight);

    const double left = d.box.x + kDialogPadding * s;
    double y = d.box.y + kDialogPadding * s;
    d.title = Rect{left, y, content, titleHeight};
    y += titleHeight + kDialogSpacing * s;
    if (mode == PresetDialogMode::saveAs) {
        d.field = Rect{left, y, content, bodyHeight};
    } else {
        d.message = Rect{left, y, content, bodyHeight};
    }
    y += bodyHeight + kDialogSpacing * s;
    const double mid = y + buttonsHeight / 2;
    const double right = left + content;
    const bool canConfirm = view.canConfirmPresetDialog();
    d.confirm = labelButton(right - confirm.width, mid - confirm.height / 2, confirm, confirmTitle, canConfirm, canConfirm);
    d.cancel = labelButton(d.confirm.frame.x - kButtonSpacing * s - cancel.width, mid - cancel.height / 2, cancel,
                           "CANCEL", true, true);
    return d;
}

PresetChooserLayout layoutPresetChooser(const Frame& f, const Kessrin_VinylExtensionMainView& view,
                                        const TextMetrics& metrics) {
    const double s = f.s;
    PresetChooserLayout c;
    c.dim = f.panel;
    const double rowHeight = metrics.lineHeight(PanelFonts::system, 13 * s) + 2 * kRowPaddingY * s;
    const std::size_t count = view.presets.size();
    c.contentHeight = count == 0 ? 0
                                 : static_cast<double>(count) * rowHeight +
                                       static_cast<double>(count - 1) * kRowSpacing * s;
    const double listHeight = std::min(c.contentHeight, kChooserMaxListHeight * s);
    const double emptyHeight = metrics.lineHeight(PanelFonts::system, 12 * s) + 2 * kEmptyTextPadding * s;
    const double topPart = count == 0 ? emptyHeight : listHeight;
    const double trashSize = kTrashSymbolSize * s + 2 * kTrashPadding * s;
    const double divider = dividerThickness(s);
    const double boxHeight = 2 * kChooserPadding * s + topPart + kChooserSpacing * s + divider +
                             kChooserSpacing * s + trashSize;
    // A 46-point space above the box, the two centred together on the panel.
    const double columnTop = f.cy() - (kChooserTopSpace * s + boxHeight) / 2;
    c.box = Rect{f.cx() - kChooserWidth * s / 2, columnTop + kChooserTopSpace * s, kChooserWidth * s, boxHeight};

    const double left = c.box.x + kChooserPadding * s;
    const double inner = c.box.width - 2 * kChooserPadding * s;
    const double top = c.box.y + kChooserPadding * s;
    if (count == 0) {
        c.emptyText = Rect{left, top, inner, emptyHeight};
    } else {
        c.list = Rect{left, top, inner, listHeight};
        c.scrollOffset = std::clamp(view.presetListScrollOffset * s, 0.0, c.contentHeight - listHeight);
        for (std::size_t i = 0; i < count; ++i) {
            const double y = top + static_cast<double>(i) * (rowHeight + kRowSpacing * s) - c.scrollOffset;
            if (y + rowHeight <= c.list.y || y >= c.list.y + c.list.height) continue;
            c.rows.push_back({i, Rect{left, y, inner, rowHeight}, view.presets[i].id == view.selectedPresetID});
        }
        if (c.contentHeight > listHeight) {
            const double h = std::max(kScrollIndicatorMinHeight * s, listHeight * listHeight / c.contentHeight);
            const double travel = listHeight - h;
            const double range = c.contentHeight - listHeight;
            c.scrollIndicator = Rect{c.list.x + c.list.width - (kScrollIndicatorWidth + kScrollIndicatorInset) * s,
                                     c.list.y + travel * c.scrollOffset / range, kScrollIndicatorWidth * s, h};
        }
    }
    const double dividerTop = top + topPart + kChooserSpacing * s;
    c.divider = Rect{left, dividerTop, inner, divider};
    c.trash = Rect{left + inner - trashSize, dividerTop + divider + kChooserSpacing * s, trashSize, trashSize};
    c.trashEnabled = view.selectedPresetID.has_value();
    return c;
}

}  // namespace panel_layout
