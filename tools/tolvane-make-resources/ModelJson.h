#pragma once

#include "platform/foundation/NumberText.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvane::resources {

// Model files hold 32-bit floats. Each value is written as the shortest decimal that reads back
// as exactly that float, so the files stay small and the loaders see exactly what was designed.
inline double asStoredFloat(double value) {
    const auto f = static_cast<float>(value);
    char text[32];
    const auto end = std::to_chars(text, text + sizeof(text), f).ptr;
    return parseDouble(std::string_view(text, static_cast<std::size_t>(end - text))).value_or(value);
}

inline nlohmann::json floatArray(const std::vector<double>& values) {
    nlohmann::json array = nlohmann::json::array();
    for (double v : values) array.push_back(asStoredFloat(v));
    return array;
}

inline void writeJsonFile(const std::filesystem::path& path, const nlohmann::json& document) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << document.dump() << '\n';
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace tolvane::resources
