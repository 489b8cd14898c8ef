#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// JSON text from files that a person, a crash or a full disk may have damaged. The parser builds
// its tree without recursing, but copying, printing and comparing a tree recurse once per level,
// so text nested deeper than this is refused before any tree is built: a hand-made file of
// 100,000 brackets must not overflow a thread's stack.
inline constexpr int kMaxJSONNesting = 64;

// What a scan of the text found before parsing.
struct JSONTextScan {
    bool tooDeep = false;
    // The text with every number beyond a double's range replaced by 0 (empty when there were
    // none), and which numbers they were: their order among all numbers and their sign.
    std::string withoutOverflows;
    struct Overflow {
        std::size_t numberIndex;
        bool negative;
    };
    std::vector<Overflow> overflows;
};

// One pass over the text, outside strings: nesting depth and numbers that overflow a double.
JSONTextScan scanJSONText(std::string_view text);

// A tree that keeps each object's members in their written order, built in one pass: the
// library's own parse finds each new key of such an object by a linear search, so an object of n
// members costs n² (160,000 keys took half a minute). A repeated key keeps its first place and
// its last value, as there. A discarded value when the text is not JSON; the caller bounds depth.
nlohmann::ordered_json parseOrderedJSON(std::string_view text);

// The parsed value, or a discarded value when the text is not JSON or nests too deep.
template <class Json>
Json parseBoundedJSON(std::string_view text) {
    if (scanJSONText(text).tooDeep) return Json(Json::value_t::discarded);
    if constexpr (std::is_same_v<Json, nlohmann::ordered_json>) return parseOrderedJSON(text);
    else return Json::parse(text, nullptr, /*allow_exceptions=*/false);
}

// As parseBoundedJSON, but a number beyond a double's range ("1e999", "-1e999"), which the parser
// refuses, reads as the infinity it means, so the caller's own rule for values that are not
// finite applies to it.
template <class Json>
Json parseBoundedJSONWithInfinities(std::string_view text) {
    const JSONTextScan scan = scanJSONText(text);
    if (scan.tooDeep) return Json(Json::value_t::discarded);
    if (scan.overflows.empty()) return Json::parse(text, nullptr, /*allow_exceptions=*/false);
    // The parser reports values in the order they appear, so the n-th number it reports is the
    // n-th number token of the text.
    std::size_t numberIndex = 0;
    std::size_t next = 0;
    const auto restoreInfinities = [&](int, typename Json::parse_event_t event, Json& value) {
        if (event != Json::parse_event_t::value || !value.is_number()) return true;
        if (next < scan.overflows.size() && scan.overflows[next].numberIndex == numberIndex) {
            constexpr double infinity = std::numeric_limits<double>::infinity();
            value = scan.overflows[next].negative ? -infinity : infinity;
            ++next;
        }
        ++numberIndex;
        return true;
    };
    return Json::parse(scan.withoutOverflows, restoreInfinities, /*allow_exceptions=*/false);
}

// What can still be read of the member `key` of the object that `text` starts, when the text may
// be cut short or broken after it: for a string, its characters up to where the text ends or
// breaks; for any other value, its text up to its end or the text's end. Nothing when the text
// does not reach that member. The last member of that name counts, as for the parser.
std::optional<std::string> salvageObjectMember(std::string_view text, std::string_view key);
