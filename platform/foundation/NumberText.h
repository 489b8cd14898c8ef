#pragma once

#include <locale.h>

#include <optional>
#include <string_view>

// Numbers in text that is stored, sent or read back: '.' is the decimal point whatever locale the
// process runs in. A host sets the user's locale (a comma in German, for one), and the C library's
// readers follow it, so "62.25" would read as 62 there.

// The number that the whole text spells in std::from_chars' general format ("-0.5", "1e3"; no
// leading '+' or space). Beyond a double's range it reads as the infinity of its sign, too close
// to zero as a zero of its sign, as the C library's reader does. Nothing when any character is
// left over or there is no number at all.
std::optional<double> parseDouble(std::string_view text);

// The same for a float: a value beyond a float's range is an infinity.
std::optional<float> parseFloat(std::string_view text);

// While it lives, the C library reads and writes numbers on this thread as in the "C" locale, the
// other categories as before: for code not ours that keeps numbers as text through the C library
// (a plug-in framework restoring a host's saved state). Inactive when the C library cannot make
// the locale (out of memory); the caller reports that.
class ScopedClassicNumbers {
public:
    ScopedClassicNumbers();
    ~ScopedClassicNumbers();
    ScopedClassicNumbers(const ScopedClassicNumbers&) = delete;
    ScopedClassicNumbers& operator=(const ScopedClassicNumbers&) = delete;

    bool active() const { return locale_ != nullptr; }

private:
    locale_t locale_ = nullptr;
    locale_t previous_ = nullptr;
};
