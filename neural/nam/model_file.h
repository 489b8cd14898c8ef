#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

// Reading model files, which come from anywhere: a reader takes only a regular file of at most
// kMaxModelFileBytes (readWholeFile: its open never waits, so a FIFO is refused at once) and
// parses it here, nesting bounded before any tree is built.
namespace nam {

// The largest model the project generates is some 30 KB of text; this leaves room for models
// thousands of times larger while refusing a file that could only exhaust the memory.
inline constexpr std::size_t kMaxModelFileBytes = std::size_t{64} << 20;

// The JSON value `text` starts with; what follows it is not looked at, since files written by
// other tools may end in anything. Text nested deeper than kMaxJSONNesting throws
// std::runtime_error naming `file`; text that does not start with a value throws the parser's
// parse_error.
nlohmann::json parse_model_text(std::string text, const std::filesystem::path& file);

}  // namespace nam
