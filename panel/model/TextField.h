#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Editing of a one-line text field over a UTF-8 text the field does not own (a knob's typed entry,
// the preset name). The caret moves and deletes by user-perceived character, so an accented
// letter typed as a letter and a combining mark goes as one. A field opens with its whole text
// selected: typing replaces it, an arrow key puts the caret at that end.
struct TextFieldState {
    std::size_t caret = 0;  // byte offset into the text
    bool allSelected = false;
};

enum class TextFieldKey { backspace, deleteForward, left, right, home, end, selectAll };

// Caret at the end, everything selected.
void beginTextEditing(const std::string& text, TextFieldState& field);
// Types `utf8` at the caret (over the selection). Text holding control characters is dropped:
// those arrive as keys.
void insertText(std::string& text, TextFieldState& field, std::string_view utf8);
void applyTextFieldKey(std::string& text, TextFieldState& field, TextFieldKey key);
