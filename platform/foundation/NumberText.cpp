#include "platform/foundation/NumberText.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Far beyond any exponent a number in range has, and far from int64_t's ends.
constexpr int64_t kExponentCap = int64_t{1} << 40;

// The exponent after 'e' of a number that from_chars matched, capped so that a thousand digits
// cannot overflow it.
int64_t exponentOf(std::string_view number) {
    const auto e = number.find_first_of("eE");
    if (e == std::string_view::npos) return 0;
    std::size_t at = e + 1;
    const bool negative = at < number.size() && number[at] == '-';
    if (at < number.size() && (number[at] == '-' || number[at] == '+')) ++at;
    int64_t exponent = 0;
    for (; at < number.size() && isDigit(number[at]); ++at)
        exponent = std::min(exponent * 10 + (number[at] - '0'), kExponentCap);
    return negative ? -exponent : exponent;
}

// Whether a number out of a type's range is too large rather than too small: the power of ten of
// its first significant digit is positive. Out of range, that power is hundreds away from zero
// either way, so counting digits is exact enough.
bool isTooLarge(std::string_view number) {
    const std::string_view mantissa = number.substr(0, number.find_first_of("eE"));
    const std::size_t firstSignificant = mantissa.find_first_of("123456789");
    if (firstSignificant == std::string_view::npos) return false;  // zero is never out of range
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const int64_t leading = firstSignificant < point ? static_cast<int64_t>(point - firstSignificant) - 1
                                                     : -static_cast<int64_t>(firstSignificant - point);
    return leading + exponentOf(number) > 0;
}

template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (stop != end || text.empty()) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        const bool negative = text.front() == '-';
        const Number magnitude = isTooLarge(text) ? std::numeric_limits<Number>::infinity() : Number{0};
        return negative ? -magnitude : magnitude;
    }
    if (error != std::errc()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<double> parseDouble(std::string_view text) { return parseNumber<double>(text); }

std::optional<float> parseFloat(std::string_view text) { return parseNumber<float>(text); }

ScopedClassicNumbers::ScopedClassicNumbers() {
    const locale_t current = duplocale(uselocale(static_cast<locale_t>(nullptr)));
    if (current == nullptr) return;
    locale_ = newlocale(LC_NUMERIC_MASK, "C", current);  // takes over `current` when it succeeds
    if (locale_ == nullptr) {
        freelocale(current);
        return;
    }
    previous_ = uselocale(locale_);
}

ScopedClassicNumbers::~ScopedClassicNumbers() {
    if (locale_ == nullptr) return;
    uselocale(previous_);
    freelocale(locale_);
}
