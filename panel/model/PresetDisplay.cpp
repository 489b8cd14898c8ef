// The 30-cell preset display's text: the name upper-cased, mapped to what the segments can show
// and centred in the cells, one cell per user-perceived character.

#include "panel/model/MainViewModel.h"

#include "panel/model/Text.h"

std::string Kessrin_VinylExtensionMainView::displayCharacter(std::string_view c) {
    // One character each: a letter or digit that carries a combining mark is not one the
    // segments can show.
    const bool shown = c.size() == 1 && ((c[0] >= 'A' && c[0] <= 'Z') || (c[0] >= '0' && c[0] <= '9') || c[0] == '-' ||
                                         c[0] == '_' || c[0] == ' ');
    return shown ? std::string(c) : "-";
}

std::string Kessrin_VinylExtensionMainView::displayName(std::string_view name, std::size_t maxLength) {
    std::string text;
    std::size_t count = 0;
    for (const std::string& character : userPerceivedCharacters(uppercased(name))) {
        if (count == maxLength) break;
        text += displayCharacter(character);
        ++count;
    }
    return text;
}

std::vector<std::string> Kessrin_VinylExtensionMainView::displayCellsFor(std::string_view name, int cellCount,
                                                                         bool dirty) {
    const std::size_t cells = static_cast<std::size_t>(std::max(0, cellCount));
    const std::size_t available = dirty && cells > 0 ? cells - 1 : cells;
    // Every mapped character is a single byte.
    const std::string text = displayName(name, available);
    const std::size_t used = std::min(available, text.size());
    const std::size_t left = (available - used) / 2;
    std::vector<std::string> result(left, " ");
    for (std::size_t i = 0; i < used; ++i) result.emplace_back(1, text[i]);
    result.resize(available, " ");
    if (dirty && cells > 0) result.emplace_back("*");
    return result;
}

std::vector<std::string> Kessrin_VinylExtensionMainView::displayCells(std::string_view name, int cellCount) const {
    return displayCellsFor(name, cellCount, hasUnsavedChanges());
}
