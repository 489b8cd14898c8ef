#include "platform/foundation/JSONReading.h"

#include "platform/foundation/NumberText.h"

#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isNumberCharacter(char c) { return isDigit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; }

std::size_t skipSpace(std::string_view text, std::size_t at) {
    while (at < text.size() && isSpace(text[at])) ++at;
    return at;
}

std::size_t skipDigits(std::string_view text, std::size_t at) {
    while (at < text.size() && isDigit(text[at])) ++at;
    return at;
}

// True when the whole token is a number in JSON's grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJSONNumber(std::string_view token) {
    std::size_t at = token.starts_with('-') ? 1 : 0;
    if (at >= token.size() || !isDigit(token[at])) return false;
    at = token[at] == '0' ? at + 1 : skipDigits(token, at);
    if (at < token.size() && token[at] == '.') {
        const std::size_t digits = at + 1;
        at = skipDigits(token, digits);
        if (at == digits) return false;
    }
    if (at < token.size() && (token[at] == 'e' || token[at] == 'E')) {
        ++at;
        if (at < token.size() && (token[at] == '+' || token[at] == '-')) ++at;
        const std::size_t digits = at;
        at = skipDigits(token, digits);
        if (at == digits) return false;
    }
    return at == token.size();
}

bool overflowsDouble(std::string_view token) {
    if (!isJSONNumber(token)) return false;
    const std::optional<double> value = parseDouble(token);
    return value && std::isinf(*value);
}

// Past the string whose opening quote is at `at - 1`: the index after its closing quote, or the
// text's size when it is cut short.
std::size_t skipString(std::string_view text, std::size_t at) {
    for (; at < text.size(); ++at) {
        if (text[at] == '\\') ++at;
        else if (text[at] == '"') return at + 1;
    }
    return text.size();
}

// Where a value starting at `at` ends: the first comma or closing bracket outside every string
// and nesting, or the text's size. Counts instead of recursing, whatever the depth.
std::size_t valueEnd(std::string_view text, std::size_t at) {
    std::size_t depth = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '"') {
            at = skipString(text, at + 1);
            continue;
        }
        if (c == '{' || c == '[') ++depth;
        else if ((c == '}' || c == ']') && depth == 0) return at;
        else if (c == '}' || c == ']') --depth;
        else if (c == ',' && depth == 0) return at;
        ++at;
    }
    return text.size();
}

void appendUTF8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::optional<uint32_t> hexQuad(std::string_view text, std::size_t at) {
    if (at + 4 > text.size()) return std::nullopt;
    uint32_t code = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const char c = text[i];
        const int digit = isDigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        code = code * 16 + static_cast<uint32_t>(digit);
    }
    return code;
}

struct StringPrefix {
    std::string characters;
    std::size_t end = 0;  // past the closing quote, when there is one
    bool closed = false;
};

// The characters of the string whose opening quote is at `at - 1`, decoded as far as they are
// well formed.
StringPrefix readStringPrefix(std::string_view text, std::size_t at) {
    StringPrefix read;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '"') {
            read.end = at + 1;
            read.closed = true;
            return read;
        }
        if (static_cast<unsigned char>(c) < 0x20) return read;
        if (c != '\\') {
            read.characters += c;
            ++at;
            continue;
        }
        if (at + 1 >= text.size()) return read;
        const char escaped = text[at + 1];
        static constexpr std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
        if (const auto simple = from.find(escaped); simple != std::string_view::npos) {
            read.characters += to[simple];
            at += 2;
            continue;
        }
        if (escaped != 'u') return read;
        auto code = hexQuad(text, at + 2);
        if (!code || (*code >= 0xDC00 && *code <= 0xDFFF)) return read;
        at += 6;
        if (*code >= 0xD800 && *code <= 0xDBFF) {
            const auto low = text.substr(at, 2) == "\\u" ? hexQuad(text, at + 2) : std::nullopt;
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return read;
            code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
            at += 6;
        }
        appendUTF8(read.characters, *code);
    }
    return read;
}

std::string_view trimmedEnd(std::string_view text) {
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

// Builds an ordered tree from the parser's events without recursing. Each open object keeps an
// index of its keys, so a member is found or added in constant time.
class OrderedTreeBuilder {
public:
    using Json = nlohmann::ordered_json;

    bool null() { return place(Json(nullptr)); }
    bool boolean(bool value) { return place(Json(value)); }
    bool number_integer(Json::number_integer_t value) { return place(Json(value)); }
    bool number_unsigned(Json::number_unsigned_t value) { return place(Json(value)); }
    bool number_float(Json::number_float_t value, const Json::string_t&) { return place(Json(value)); }
    bool string(Json::string_t& value) { return place(Json(std::move(value))); }
    bool binary(Json::binary_t& value) { return place(Json::binary(std::move(value))); }
    bool start_object(std::size_t) { return enter(Json::object()); }
    bool start_array(std::size_t) { return enter(Json::array()); }
    bool end_object() { return leave(); }
    bool end_array() { return leave(); }
    bool key(Json::string_t& name) {
        Open& object = open_.back();
        // The ordered map's own vector, appended to past the map's search, which the index
        // stands in for.
        Json::object_t::Container& members = object.value->get_ref<Json::object_t&>();
        const auto [found, added] = object.keys.try_emplace(name, members.size());
        if (added) members.emplace_back(std::move(name), nullptr);
        member_ = &members[found->second].second;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const Json::exception&) { return false; }

    Json take() { return std::move(root_); }

private:
    struct Open {
        Json* value;
        std::unordered_map<std::string, std::size_t> keys;  // objects only: where each member is
    };

    // Stores `value` where the parser is: the root, the next element of an array or the value of
    // the member whose key came last. Returns where it went.
    Json* put(Json&& value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& container = *open_.back().value;
        if (container.is_array()) {
            auto& elements = container.get_ref<Json::array_t&>();
            elements.push_back(std::move(value));
            return &elements.back();
        }
        *member_ = std::move(value);
        return member_;
    }
    bool place(Json&& value) {
        put(std::move(value));
        return true;
    }
    bool enter(Json&& container) {
        open_.push_back({put(std::move(container)), {}});
        return true;
    }
    bool leave() {
        open_.pop_back();
        return true;
    }

    Json root_;
    std::vector<Open> open_;
    Json* member_ = nullptr;
};

}  // namespace

nlohmann::ordered_json parseOrderedJSON(std::string_view text) {
    OrderedTreeBuilder builder;
    if (!nlohmann::ordered_json::sax_parse(text, &builder)) return nlohmann::ordered_json(nlohmann::ordered_json::value_t::discarded);
    return builder.take();
}

JSONTextScan scanJSONText(std::string_view text) {
    JSONTextScan scan;
    int depth = 0;
    std::size_t numberIndex = 0;
    std::size_t copied = 0;  // how much of `text` is already in `withoutOverflows`
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '"') {
            at = skipString(text, at + 1);
            continue;
        }
        if (c == '{' || c == '[') {
            if (++depth > kMaxJSONNesting) {
                scan.tooDeep = true;
                return scan;
            }
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        } else if (c == '-' || isDigit(c)) {
            std::size_t end = at;
            while (end < text.size() && isNumberCharacter(text[end])) ++end;
            const std::string_view token = text.substr(at, end - at);
            if (overflowsDouble(token)) {
                scan.overflows.push_back({numberIndex, token.starts_with('-')});
                scan.withoutOverflows.append(text.substr(copied, at - copied)).append("0");
                copied = end;
            }
            ++numberIndex;
            at = end;
            continue;
        }
        ++at;
    }
    if (!scan.overflows.empty()) scan.withoutOverflows.append(text.substr(copied));
    return scan;
}

std::optional<std::string> salvageObjectMember(std::string_view text, std::string_view key) {
    std::optional<std::string> found;
    std::size_t at = skipSpace(text, 0);
    if (at >= text.size() || text[at] != '{') return found;
    for (;;) {
        at = skipSpace(text, at + 1);
        if (at >= text.size() || text[at] != '"') return found;
        const StringPrefix name = readStringPrefix(text, at + 1);
        if (!name.closed) return found;
        at = skipSpace(text, name.end);
        if (at >= text.size() || text[at] != ':') return found;
        at = skipSpace(text, at + 1);
        if (at >= text.size()) return found;

        const bool wanted = name.characters == key;
        if (text[at] == '"') {
            StringPrefix value = readStringPrefix(text, at + 1);
            if (wanted) found = std::move(value.characters);
            if (!value.closed) return found;
            at = skipSpace(text, value.end);
        } else {
            const std::size_t end = valueEnd(text, at);
            if (wanted) found = std::string(trimmedEnd(text.substr(at, end - at)));
            at = end;
        }
        if (at >= text.size() || text[at] != ',') return found;
    }
}
