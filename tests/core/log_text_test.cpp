#include "net/log_text.h"

#include <thread>

#include <gtest/gtest.h>

TEST(LogText, EscapesControlsAndBrokenUtf8AndKeepsTheRest) {
    EXPECT_EQ(log_text("plain text"), "plain text");
    EXPECT_EQ(log_text("line\r\nforged [info] line\t\x1b[31m"), "line\\r\\nforged [info] line\\t\\x1B[31m");
    EXPECT_EQ(log_text("caf\xC3\xA9 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    // A lone continuation byte, a cut sequence, an overlong form and a surrogate are not UTF-8.
    EXPECT_EQ(log_text("\x80|\xE2\x82|\xC0\xAF|\xED\xA0\x80"), "\\x80|\\xE2\\x82|\\xC0\\xAF|\\xED\\xA0\\x80");
    EXPECT_EQ(log_text(std::string("a\0b", 3)), "a\\x00b");
}

TEST(LogText, LongTextIsCutWithTheCountOfWhatWasLeftOut) {
    const std::string mib(1u << 20, 'x');
    const std::string line = log_text(mib);
    EXPECT_EQ(line, std::string(200, 'x') + "... (1048376 more bytes)");
    EXPECT_EQ(log_text("abcdef", 6), "abcdef");
    EXPECT_EQ(log_text("abcdef", 4), "abcd... (2 more bytes)");
    // The cut never splits a character: the one across the limit is kept whole.
    EXPECT_EQ(log_text("ab\xC3\xA9z", 3), "ab\xC3\xA9... (1 more bytes)");
    // Escapes may lengthen the line, but only by what the limit lets in.
    EXPECT_LE(log_text(std::string(1u << 20, '\n')).size(), 200u * 2 + 32);
}

TEST(LogRate, LetsABurstThroughAndCountsWhatItHeldBack) {
    LogRate rate(3, std::chrono::milliseconds(200));
    int admitted = 0;
    for (int i = 0; i < 10000; ++i)
        if (auto held = rate.admit()) {
            EXPECT_EQ(*held, 0u);
            ++admitted;
        }
    EXPECT_EQ(admitted, 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    auto next = rate.admit();
    ASSERT_TRUE(next);
    EXPECT_EQ(*next, 9997u);
    EXPECT_EQ(held_note(*next), " (9997 similar lines not shown)");
    EXPECT_EQ(held_note(0), "");
}
