#include "panel/model/PresetJSON.h"

#include "platform/foundation/JSONReading.h"
#include "platform/foundation/NumberText.h"
#include "platform/foundation/UUID.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

namespace {

using OrderedJson = nlohmann::ordered_json;
using Json = nlohmann::json;

// ---- writing

OrderedJson shortestNumber(float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    const std::string_view digits(text, static_cast<std::size_t>(end - text));
    // Whole numbers stay integers ("75", not "75.0"); any other value goes through the double
    // nearest to its shortest text, which the writer prints back as that same text.
    if (digits.find_first_of(".e") == std::string_view::npos) {
        int64_t whole = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), whole);
        return whole;
    }
    return parseDouble(digits).value_or(value);
}

OrderedJson encodedPreset(const StoredPreset& p) {
    OrderedJson values = OrderedJson::array();
    for (const auto& knobs : p.effectValues) {
        OrderedJson entry = OrderedJson::array();
        for (const float v : knobs) entry.push_back(shortestNumber(v));
        values.push_back(std::move(entry));
    }
    OrderedJson object = OrderedJson::object();
    object["id"] = p.id;
    object["name"] = p.name;
    object["selectedEffect"] = p.selectedEffect;
    object["outputLevel"] = shortestNumber(p.outputLevel);
    object["monoSumEnabled"] = p.monoSumEnabled;
    object["hissOn"] = p.hissOn;
    object["hissLevel"] = shortestNumber(p.hissLevel);
    object["amFmMode"] = shortestNumber(p.amFmMode);
    object["effectValues"] = std::move(values);
    return object;
}

// ---- finding the elements

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct ArrayElements {
    std::vector<std::string_view> elements;
    bool isArray = false;
    bool broken = false;  // the array is cut short, or bytes follow it
};

// Where a value that starts at `at` ends: at the first comma or closing bracket outside every
// string and nesting, or at the end of the text when it is cut short.
std::size_t elementEnd(std::string_view text, std::size_t at) {
    int depth = 0;
    bool inString = false;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (inString) {
            if (c == '\\') ++at;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0 && c == ']') return at;
            if (depth > 0) --depth;
        } else if (c == ',' && depth == 0) {
            return at;
        }
    }
    return text.size();
}

std::size_t skipSpace(std::string_view text, std::size_t at) {
    while (at < text.size() && isJsonSpace(text[at])) ++at;
    return at;
}

// The byte ranges of a top-level array's elements, found without reading them, so that an
// element that does not parse leaves its neighbours readable.
ArrayElements splitArray(std::string_view text) {
    ArrayElements found;
    std::size_t at = skipSpace(text, 0);
    if (at >= text.size() || text[at] != '[') return found;
    found.isArray = true;
    at = skipSpace(text, at + 1);
    if (at < text.size() && text[at] == ']') {
        found.broken = skipSpace(text, at + 1) != text.size();
        return found;
    }
    for (;;) {
        const std::size_t end = elementEnd(text, at);
        found.elements.push_back(text.substr(at, end - at));
        if (end >= text.size()) {
            found.broken = true;
            return found;
        }
        if (text[end] == ']') {
            found.broken = skipSpace(text, end + 1) != text.size();
            return found;
        }
        at = end + 1;  // past the comma
    }
}

// ---- reading one object

std::optional<float> readFloat(const Json& value) {
    if (!value.is_number()) return std::nullopt;
    const double d = value.get<double>();
    // Finite values past a float's reach saturate (and are clamped later); only a value that is
    // not finite becomes one in the float.
    if (std::isfinite(d)) {
        constexpr double limit = std::numeric_limits<float>::max();
        return static_cast<float>(std::fmax(-limit, std::fmin(limit, d)));
    }
    return std::numeric_limits<float>::quiet_NaN();
}

std::optional<int64_t> readInteger(const Json& value) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    if (value.is_number_float()) {
        // A whole number written with a fraction part ("3.0") is still that integer.
        const double d = value.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9.2e18 && d <= 9.2e18) return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

std::optional<std::vector<std::vector<float>>> readEffectValues(const Json& value) {
    if (!value.is_array()) return std::nullopt;
    std::vector<std::vector<float>> lists;
    lists.reserve(value.size());
    for (const auto& entry : value) {
        if (!entry.is_array()) return std::nullopt;
        std::vector<float> knobs;
        knobs.reserve(entry.size());
        for (const auto& number : entry) {
            const auto v = readFloat(number);
            if (!v) return std::nullopt;
            knobs.push_back(*v);
        }
        lists.push_back(std::move(knobs));
    }
    return lists;
}

std::optional<StoredPreset> readPreset(const Json& object) {
    if (!object.is_object()) return std::nullopt;
    for (const char* key : {"id", "name", "selectedEffect", "outputLevel", "monoSumEnabled", "hissOn", "hissLevel",
                            "amFmMode", "effectValues"})
        if (!object.contains(key)) return std::nullopt;

    const Json& id = object["id"];
    const Json& name = object["name"];
    const auto uuid = id.is_string() ? canonicalUUIDString(id.get<std::string>()) : std::nullopt;
    const auto selectedEffect = readInteger(object["selectedEffect"]);
    const auto outputLevel = readFloat(object["outputLevel"]);
    const auto hissLevel = readFloat(object["hissLevel"]);
    const auto amFmMode = readFloat(object["amFmMode"]);
    const auto effectValues = readEffectValues(object["effectValues"]);
    const Json& monoSum = object["monoSumEnabled"];
    const Json& hissOn = object["hissOn"];
    if (!uuid || !name.is_string() || !selectedEffect || !outputLevel || !hissLevel || !amFmMode || !effectValues ||
        !monoSum.is_boolean() || !hissOn.is_boolean())
        return std::nullopt;

    return StoredPreset{*uuid,       name.get<std::string>(), *selectedEffect, *outputLevel, monoSum.get<bool>(),
                        hissOn.get<bool>(), *hissLevel,       *amFmMode,       *effectValues};
}

}  // namespace

std::string encodePresets(const std::vector<StoredPreset>& presets, const std::vector<EffectRow>& effects) {
    OrderedJson list = OrderedJson::array();
    for (const auto& preset : presets) list.push_back(encodedPreset(sanitizedPreset(preset, effects)));
    return list.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

DecodedPresets decodePresets(std::string_view bytes, const std::vector<EffectRow>& effects) {
    DecodedPresets decoded;
    const auto found = splitArray(bytes);
    decoded.isList = found.isArray;
    decoded.unreadable = found.broken ? 1 : 0;
    for (const auto element : found.elements) {
        const auto preset = readPreset(parseBoundedJSONWithInfinities<Json>(element));
        if (preset) decoded.presets.push_back(sanitizedPreset(*preset, effects));
        else ++decoded.unreadable;
    }
    return decoded;
}
