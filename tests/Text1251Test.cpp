#include "driver/Text1251.h"

#include <gtest/gtest.h>

#include <string>

namespace fuel {
namespace {

std::string Utf8Of(char32_t codePoint) {
    std::string out;
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return out;
}

TEST(Text1251Test, EveryRussianLetterBothWays) {
    // А..Я and а..я are 0xC0..0xFF; Ё and ё stand apart at 0xA8 and 0xB8.
    for (char32_t cp = U'А'; cp <= U'я'; ++cp) {
        const std::string byte(1, static_cast<char>(0xC0 + (cp - U'А')));
        EXPECT_EQ(Utf8ToCp1251(Utf8Of(cp)), byte) << static_cast<int>(cp);
        EXPECT_EQ(Cp1251ToUtf8(byte), Utf8Of(cp)) << static_cast<int>(cp);
    }
    EXPECT_EQ(Utf8ToCp1251("Ёё"), "\xA8\xB8");
    EXPECT_EQ(Cp1251ToUtf8("\xA8\xB8"), "Ёё");
}

TEST(Text1251Test, OtherCyrillicLettersAndSigns) {
    struct Pair {
        const char* utf8;
        const char* cp1251;
    };
    for (const Pair& p : {Pair{"Ђђ", "\x80\x90"}, Pair{"Ѓѓ", "\x81\x83"}, Pair{"Єє", "\xAA\xBA"},
                          Pair{"Іі", "\xB2\xB3"}, Pair{"Її", "\xAF\xBF"}, Pair{"Ґґ", "\xA5\xB4"},
                          Pair{"Ўў", "\xA1\xA2"}, Pair{"Јј", "\xA3\xBC"}, Pair{"Џџ", "\x8F\x9F"},
                          Pair{"№", "\xB9"}, Pair{"€", "\x88"}, Pair{"«»", "\xAB\xBB"},
                          Pair{"—", "\x97"}, Pair{"\xC2\xA0", "\xA0"}}) {
        EXPECT_EQ(Utf8ToCp1251(p.utf8), p.cp1251) << p.utf8;
        EXPECT_EQ(Cp1251ToUtf8(p.cp1251), p.utf8) << p.utf8;
    }
}

TEST(Text1251Test, EveryByteSurvivesTheRoundTrip) {
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(byte)), byte) << b;
    }
}

TEST(Text1251Test, CharactersWithoutAFormBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToCp1251("a中b"), "a?b");
    EXPECT_EQ(Utf8ToCp1251("😀"), "?");
    EXPECT_EQ(Utf8ToCp1251("ßΩ"), "??");
    // Malformed UTF-8: a lone lead byte, a stray continuation, an overlong form, a surrogate.
    EXPECT_EQ(Utf8ToCp1251("\xD0"), "?");
    EXPECT_EQ(Utf8ToCp1251("x\x80y"), "x?y");
    EXPECT_EQ(Utf8ToCp1251("\xC0\x80"), "??");
    EXPECT_EQ(Utf8ToCp1251("\xED\xA0\x80"), "???");
}

TEST(Text1251Test, DriverMessages) {
    EXPECT_EQ(Utf8ToCp1251("Невозможно установить цену"),
              "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xF3\xF1\xF2\xE0\xED\xEE\xE2\xE8\xF2\xFC "
              "\xF6\xE5\xED\xF3");
    EXPECT_EQ(Utf8ToCp1251("Can't START POMP"), "Can't START POMP");
}

}  // namespace
}  // namespace fuel
