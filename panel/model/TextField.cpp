#include "panel/model/TextField.h"

#include "panel/model/Text.h"

#include <algorithm>
#include <vector>

namespace {

// Byte offsets of the boundaries between user-perceived characters, 0 and the end included.
std::vector<std::size_t> characterBoundaries(const std::string& text) {
    std::vector<std::size_t> bounds{0};
    for (const std::string& character : userPerceivedCharacters(text)) bounds.push_back(bounds.back() + character.size());
    return bounds;
}

// The caret put back on a boundary of the text as it is now (the text may have changed under it).
std::size_t validCaret(const std::vector<std::size_t>& bounds, std::size_t caret) {
    const auto at = std::upper_bound(bounds.begin(), bounds.end(), caret);
    return *(at - 1);
}

bool hasControlCharacters(std::string_view utf8) {
    return std::any_of(utf8.begin(), utf8.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

}  // namespace

void beginTextEditing(const std::string& text, TextFieldState& field) {
    field.caret = text.size();
    field.allSelected = true;
}

void insertText(std::string& text, TextFieldState& field, std::string_view utf8) {
    if (utf8.empty() || hasControlCharacters(utf8)) return;
    if (field.allSelected) {
        text.clear();
        field.caret = 0;
        field.allSelected = false;
    }
    const std::size_t caret = validCaret(characterBoundaries(text), field.caret);
    text.insert(caret, utf8);
    field.caret = caret + utf8.size();
}

void applyTextFieldKey(std::string& text, TextFieldState& field, TextFieldKey key) {
    const std::vector<std::size_t> bounds = characterBoundaries(text);
    const std::size_t caret = validCaret(bounds, field.caret);
    const auto index = static_cast<std::size_t>(std::find(bounds.begin(), bounds.end(), caret) - bounds.begin());
    const bool selected = field.allSelected;
    field.allSelected = false;
    switch (key) {
    case TextFieldKey::selectAll:
        field.allSelected = true;
        field.caret = text.size();
        return;
    case TextFieldKey::backspace:
    case TextFieldKey::deleteForward:
        if (selected) {
            text.clear();
            field.caret = 0;
        } else if (key == TextFieldKey::backspace && index > 0) {
            text.erase(bounds[index - 1], caret - bounds[index - 1]);
            field.caret = bounds[index - 1];
        } else if (key == TextFieldKey::deleteForward && index + 1 < bounds.size()) {
            text.erase(caret, bounds[index + 1] - caret);
            field.caret = caret;
        }
        return;
    case TextFieldKey::left:
        field.caret = selected ? 0 : bounds[index > 0 ? index - 1 : 0];
        return;
    case TextFieldKey::right:
        field.caret = selected ? text.size() : bounds[std::min(index + 1, bounds.size() - 1)];
        return;
    case TextFieldKey::home:
        field.caret = 0;
        return;
    case TextFieldKey::end:
        field.caret = text.size();
        return;
    }
}
