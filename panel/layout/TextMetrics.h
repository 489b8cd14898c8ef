#pragma once

#include <string>
#include <string_view>
#include <vector>

// The panel's faces, by the names its views use.
namespace PanelFonts {
inline constexpr std::string_view caption = "ALoveofThunder";
inline constexpr std::string_view readout = "DSEG7Classic-BoldItalic";
inline constexpr std::string_view display = "Digital-7MonoItalic";
inline constexpr std::string_view system = "SystemFont";
}  // namespace PanelFonts

// How wide and tall text is set in a face at a size, in the same units as the size. The layout
// asks it for the sizes of labels, buttons and wrapped messages; the renderer answers from the
// fonts it draws with, so what is hit is what is drawn.
class TextMetrics {
public:
    virtual ~TextMetrics() = default;
    // The advance of `text` on one line.
    virtual double width(std::string_view font, double size, std::string_view text) const = 0;
    // The height of one line: ascent plus descent.
    virtual double lineHeight(std::string_view font, double size) const = 0;
};

// Fixed proportions of the size, for code that has no fonts at hand (the model's tests, a view
// that has not drawn yet). Close to the bundle's faces, never exact.
class EstimatedTextMetrics final : public TextMetrics {
public:
    double width(std::string_view font, double size, std::string_view text) const override;
    double lineHeight(std::string_view font, double size) const override;
};

// `text` broken into lines no wider than `maxWidth` at word boundaries (spaces); a word wider
// than the line stands on a line of its own.
std::vector<std::string> wrapText(const TextMetrics& metrics, std::string_view font, double size, std::string_view text,
                                  double maxWidth);

// `text` cut at the end to fit `maxWidth`, with an ellipsis where it was cut; it is cut between
// user-perceived characters, so no accent is parted from its letter. The text itself when it fits.
std::string truncatedText(const TextMetrics& metrics, std::string_view font, double size, std::string_view text,
                          double maxWidth);
