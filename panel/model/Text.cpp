#include "panel/model/Text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>
#include <stdexcept>

namespace {

icu::UnicodeString fromUTF8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

void check(UErrorCode status, const char* what) {
    if (U_FAILURE(status)) throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

icu::UnicodeString decomposedWithoutMarks(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    check(status, "NFD");
    const icu::UnicodeString decomposed = nfd->normalize(text, status);
    check(status, "NFD");
    icu::UnicodeString out;
    for (int32_t i = 0; i < decomposed.length(); i = decomposed.moveIndex32(i, 1)) {
        const UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) out.append(c);
    }
    return out;
}

// What two names are compared by: no marks, case folded (which may bring marks back, as the
// dotted capital I does), then no marks again.
icu::UnicodeString comparisonKey(std::string_view text) {
    icu::UnicodeString key = decomposedWithoutMarks(fromUTF8(text));
    key.foldCase(U_FOLD_CASE_DEFAULT);
    return decomposedWithoutMarks(key);
}

}  // namespace

std::string uppercased(std::string_view text) {
    icu::UnicodeString s = fromUTF8(text);
    s.toUpper(icu::Locale::getRoot());
    return toUTF8(s);
}

bool equalIgnoringCaseAndDiacritics(std::string_view a, std::string_view b) { return comparisonKey(a) == comparisonKey(b); }

std::vector<std::string> userPerceivedCharacters(std::string_view text) {
    const icu::UnicodeString s = fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    check(status, "character break iterator");
    breaks->setText(s);
    std::vector<std::string> characters;
    for (int32_t start = breaks->first(), end = breaks->next(); end != icu::BreakIterator::DONE; start = end, end = breaks->next())
        characters.push_back(toUTF8(s.tempSubStringBetween(start, end)));
    return characters;
}

bool isLetterOrDigit(std::string_view character) {
    const icu::UnicodeString s = fromUTF8(character);
    if (s.isEmpty()) return false;
    const UChar32 first = s.char32At(0);
    return u_isalpha(first) || u_isdigit(first);
}
