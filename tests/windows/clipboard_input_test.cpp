// Clipboard text through CF_UNICODETEXT and, under Wine, through the X clipboard; pointer
// moves through SendInput, checked against the X pointer.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "control/clipboard.h"
#include "control/input_injector.h"
#include "tests/support/log_capture.h"
#include "win_test_support.h"

namespace {

// "Grüße, 中文, 😀 and 𝄞": Latin-1, BMP and two characters outside the BMP.
const std::string MIXED_TEXT = "Gr\xC3\xBC\xC3\x9F" "e, \xE4\xB8\xAD\xE6\x96\x87, \xF0\x9F\x98\x80 and \xF0\x9D\x84\x9E";

std::u16string raw_clipboard_units() {
    std::u16string units;
    if (!OpenClipboard(nullptr)) return units;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (auto* p = static_cast<const char16_t*>(GlobalLock(data))) {
            units = p;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return units;
}

TEST(WindowsClipboard, UnicodeTextRoundTrips) {
    ASSERT_TRUE(set_clipboard_text(MIXED_TEXT));
    EXPECT_EQ(get_clipboard_text(), MIXED_TEXT);
    // On the clipboard as UTF-16, the characters outside the BMP as surrogate pairs.
    const std::u16string units = raw_clipboard_units();
    EXPECT_NE(units.find(u"\xD83D\xDE00"), std::u16string::npos);
    EXPECT_NE(units.find(u"\xD834\xDD1E"), std::u16string::npos);
    EXPECT_EQ(units, utf8_to_utf16(MIXED_TEXT));

    ASSERT_TRUE(set_clipboard_text(std::string("before\0after", 12)));
    EXPECT_EQ(get_clipboard_text(), "before") << "the format ends at its first NUL";
    ASSERT_TRUE(set_clipboard_text(""));
    EXPECT_EQ(get_clipboard_text(), "");
}

TEST(WindowsClipboard, ForeignBlockWithoutTerminatorIsReadWithinItsSize) {
    // Another program's block: three characters, no NUL.
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 3 * sizeof(char16_t));
    ASSERT_NE(block, nullptr);
    std::memcpy(GlobalLock(block), u"abc", 3 * sizeof(char16_t));
    GlobalUnlock(block);
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    ASSERT_NE(SetClipboardData(CF_UNICODETEXT, block), nullptr);
    CloseClipboard();
    // Windows hands the block over as it is; Wine terminates it in its last unit.
    const std::string text = get_clipboard_text();
    EXPECT_TRUE(text == "abc" || (under_wine() && text == "ab")) << text;
}

class XClipboard : public testing::Test {
protected:
    void SetUp() override {
        if (!under_wine() || !host_has("xclip")) GTEST_SKIP() << "needs Wine's X clipboard and xclip";
    }
};

TEST_F(XClipboard, WindowsTextReachesX) {
    ASSERT_TRUE(set_clipboard_text(MIXED_TEXT));
    auto x_text = host_shell("xclip -o -selection clipboard");
    ASSERT_TRUE(x_text);
    EXPECT_EQ(*x_text, MIXED_TEXT);
}

TEST_F(XClipboard, XTextReachesWindows) {
    WinTempDir dir("zarvex-xclip");
    const std::string text = "from X: \xF0\x9F\x98\x80 \xE2\x82\xAC";
    ASSERT_TRUE(write_file_bytes(dir.file("text"), text));
    // xclip keeps serving the selection in the background until another client takes it.
    ASSERT_TRUE(host_shell("xclip -i -selection clipboard < '" + unix_path(dir.file("text")) + "'"));
    EXPECT_TRUE(wait_for([&] { return get_clipboard_text() == text; }, std::chrono::seconds(5)))
        << get_clipboard_text();
    // Taking it back ends the xclip above.
    ASSERT_TRUE(set_clipboard_text("back to Windows"));
    auto x_text = host_shell("xclip -o -selection clipboard");
    ASSERT_TRUE(x_text);
    EXPECT_EQ(*x_text, "back to Windows");
}

// Where the X server has the pointer, from xdotool.
std::optional<POINT> x_pointer() {
    auto out = host_shell("xdotool getmouselocation");
    POINT p{};
    if (!out || std::sscanf(out->c_str(), "x:%ld y:%ld", &p.x, &p.y) != 2) return std::nullopt;
    return p;
}

TEST(WindowsInput, AbsoluteMovesLandOnThePixelTheMappingNames) {
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    ASSERT_GT(width, 0);
    const bool check_x = under_wine() && host_has("xdotool");
    InputInjector injector;
    for (auto [nx, ny] : {std::pair<uint16_t, uint16_t>{16384, 49152}, {65535, 0}, {0, 65535}, {32767, 32767}}) {
        InputEvent move;
        move.kind = InputKind::MouseMove;
        move.x = nx;
        move.y = ny;
        ASSERT_TRUE(injector.inject(move));
        const int32_t px = normalized_to_pixel(nx, width);
        const int32_t py = normalized_to_pixel(ny, height);
        POINT cursor{};
        EXPECT_TRUE(wait_for([&] { return GetCursorPos(&cursor) && std::abs(cursor.x - px) <= 1 &&
                                          std::abs(cursor.y - py) <= 1; },
                             std::chrono::seconds(2)))
            << nx << "," << ny << " -> " << cursor.x << "," << cursor.y << ", expected " << px << "," << py;
        if (check_x) {
            std::optional<POINT> x;
            EXPECT_TRUE(wait_for([&] { x = x_pointer(); return x && std::abs(x->x - px) <= 1 &&
                                                             std::abs(x->y - py) <= 1; },
                                 std::chrono::seconds(3)))
                << "X pointer " << (x ? x->x : -1) << "," << (x ? x->y : -1) << ", expected " << px << "," << py;
        }
    }
}

TEST(WindowsInput, HeldButtonsAndKeysAreReleased) {
    LogCapture log;
    {
        InputInjector injector;
        InputEvent down;
        down.kind = InputKind::MouseDown;
        down.button = 2;  // middle: nothing under the pointer reacts to it
        ASSERT_TRUE(injector.inject(down));
        InputEvent shift;
        shift.kind = InputKind::KeyDown;
        shift.virtual_key = VK_SHIFT;
        ASSERT_TRUE(injector.inject(shift));
        injector.release_all();
        EXPECT_TRUE(log.contains("Released 1 held keys and 1 held mouse buttons")) << log.text();
        EXPECT_EQ(GetAsyncKeyState(VK_SHIFT) & 0x8000, 0);
        log.clear();
    }
    EXPECT_FALSE(log.contains("Released")) << "nothing held any more at destruction";
}

}  // namespace
