#include "panel/model/StoredPreset.h"
#include "panel/model/Text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Decomposed: "e" followed by U+0301 COMBINING ACUTE ACCENT.
const std::string kDecomposedE = "e\xCC\x81";

TEST(TextTest, UpperCasesWithExpansionsAndNoLocale) {
    EXPECT_EQ(uppercased("straße"), "STRASSE");
    EXPECT_EQ(uppercased("\xEF\xAC\x81ne"), "FINE");  // the "fi" ligature
    EXPECT_EQ(uppercased("dústy"), "DÚSTY");
    EXPECT_EQ(uppercased("i"), "I");  // not the dotted capital of a Turkish locale
}

TEST(TextTest, ComparesIgnoringCaseAndDiacritics) {
    EXPECT_TRUE(equalIgnoringCaseAndDiacritics("dústy vinyl", "Dusty Vinyl"));
    EXPECT_TRUE(equalIgnoringCaseAndDiacritics("cafe\xCC\x81", "CAFÉ"));
    EXPECT_TRUE(equalIgnoringCaseAndDiacritics("STRASSE", "straße"));
    EXPECT_TRUE(equalIgnoringCaseAndDiacritics("\xC4\xB0stanbul", "istanbul"));  // dotted capital I
    EXPECT_FALSE(equalIgnoringCaseAndDiacritics("Dusty Vinyl", "Dusty Vinyls"));
    EXPECT_FALSE(equalIgnoringCaseAndDiacritics("Dusty Vinyl", "Dusty  Vinyl"));
    EXPECT_FALSE(equalIgnoringCaseAndDiacritics("180 Gram", "18O Gram"));
}

TEST(TextTest, IteratesByUserPerceivedCharacter) {
    EXPECT_EQ(userPerceivedCharacters("Ab c"), (std::vector<std::string>{"A", "b", " ", "c"}));
    EXPECT_EQ(userPerceivedCharacters("xe\xCC\x81y"), (std::vector<std::string>{"x", kDecomposedE, "y"}));
    EXPECT_EQ(userPerceivedCharacters("\r\n"), (std::vector<std::string>{"\r\n"}));
    EXPECT_EQ(userPerceivedCharacters("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7").size(), 1u);  // a flag: two regional indicators
    EXPECT_EQ(userPerceivedCharacters(uppercased("ß")), (std::vector<std::string>{"S", "S"}));
    EXPECT_TRUE(userPerceivedCharacters("").empty());
}

TEST(TextTest, EffectNamesNormaliseToUpperCaseLettersAndDigits) {
    for (const char* spelling : {"lo-fi", "Lo Fi", "LO-FI", " l.o_f!i "}) EXPECT_EQ(normalizedEffectName(spelling), "LOFI") << spelling;
    EXPECT_EQ(normalizedEffectName("Fill Drive"), "FILLDRIVE");
    EXPECT_EQ(normalizedEffectName("5th-Dimension"), "5THDIMENSION");
    EXPECT_EQ(normalizedEffectName("re\xCC\x81-pitch"), "RE\xCC\x81PITCH");
}

}  // namespace
