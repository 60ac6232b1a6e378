#include <gtest/gtest.h>

#include <random>

#include "control/clipboard.h"

namespace {

const std::string FFFD = "\xEF\xBF\xBD";

TEST(Utf, BmpAndSupplementaryCharactersRoundTrip) {
    const std::string text = "h\xC3\xA9llo \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF";  // é 日本 😀 U+10FFFF
    const std::u16string units = utf8_to_utf16(text);
    EXPECT_EQ(units, (std::u16string{u'h', 0xE9, u'l', u'l', u'o', u' ', 0x65E5, 0x672C, u' ', 0xD83D, 0xDE00, u' ',
                                     0xDBFF, 0xDFFF}));
    EXPECT_EQ(utf16_to_utf8(units), text);
    EXPECT_EQ(utf8_to_utf16(""), u"");
    EXPECT_EQ(utf16_to_utf8(u""), "");
}

TEST(Utf, EmbeddedNulIsKept) {
    const std::string text("a\0b", 3);
    EXPECT_EQ(utf8_to_utf16(text), std::u16string(u"a\0b", 3));
    EXPECT_EQ(utf16_to_utf8(std::u16string(u"a\0b", 3)), text);
}

TEST(Utf, IllFormedUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"a\x80z", "a" + FFFD + "z"},                           // stray continuation byte
        {"\xE6\x97z", FFFD + "z"},                               // truncated: one mark, next char kept
        {"\xF0\x9F\x98", FFFD},                                  // truncated at the end
        {"\xC0\xAF", FFFD + FFFD},                               // overlong '/'
        {"\xE0\x80\xAF", FFFD + FFFD + FFFD},                    // overlong three-byte form
        {"\xED\xA0\x80", FFFD + FFFD + FFFD},                    // encoded surrogate
        {"\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},         // above U+10FFFF
        {"\xFF\xFEx", FFFD + FFFD + "x"},                        // bytes that never occur
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(c.in)), c.out) << testing::PrintToString(c.in);
    }
}

TEST(Utf, UnpairedSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xD83D}), FFFD);
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xDE00, u'a'}), FFFD + "a");
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xD83D, u'a', 0xD83D, 0xDE00}), FFFD + "a\xF0\x9F\x98\x80");
}

TEST(Utf, ArbitraryBytesGiveStableWellFormedText) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(rng() % 24, '\0');
        for (char& b : bytes) b = static_cast<char>(rng() & 0xFF);
        const std::string once = utf16_to_utf8(utf8_to_utf16(bytes));
        // Well-formed text passes through unchanged.
        ASSERT_EQ(utf16_to_utf8(utf8_to_utf16(once)), once);
        std::u16string units(rng() % 12, u'\0');
        for (char16_t& u : units) u = static_cast<char16_t>(rng() % 4 == 0 ? 0xD800 + rng() % 0x800 : rng() & 0xFFFF);
        const std::string text = utf16_to_utf8(units);
        ASSERT_EQ(utf16_to_utf8(utf8_to_utf16(text)), text);
    }
}

TEST(Utf, Latin1BothWays) {
    EXPECT_EQ(latin1_to_utf8("caf\xE9 \xFF"), "caf\xC3\xA9 \xC3\xBF");
    EXPECT_EQ(utf8_to_latin1("caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80!"), "caf\xE9 ? ?!");
    EXPECT_EQ(utf8_to_latin1("a\x80"), "a?");
}

}  // namespace
