// Windows clipboard: CF_UNICODETEXT (UTF-16, NUL-terminated), converted from and to
// UTF-8 here.

#include "control/clipboard.h"

#include <windows.h>

#include <cstring>

#include <spdlog/spdlog.h>

std::string get_clipboard_text() {
    if (!OpenClipboard(nullptr)) return {};
    std::string text;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    if (data) {
        if (const void* locked = GlobalLock(data)) {
            // Another program may have put a block without its terminating NUL on the
            // clipboard: never read past the block's own size.
            std::u16string_view units(static_cast<const char16_t*>(locked), GlobalSize(data) / sizeof(char16_t));
            text = utf16_to_utf8(units.substr(0, units.find(u'\0')));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

bool set_clipboard_text(const std::string& text) {
    // CF_UNICODETEXT ends at its first NUL; what follows an embedded NUL cannot be kept.
    const std::u16string units = utf8_to_utf16(std::string_view(text.c_str()));
    if (!OpenClipboard(nullptr)) {
        spdlog::warn("Cannot open the clipboard to set text");
        return false;
    }
    // Prepare the block before emptying the clipboard, so that a failure leaves the
    // previous contents in place.
    const size_t bytes = (units.size() + 1) * sizeof(char16_t);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    void* locked = block ? GlobalLock(block) : nullptr;
    if (!locked) {
        if (block) GlobalFree(block);
        CloseClipboard();
        spdlog::warn("Cannot allocate {} bytes for clipboard text", bytes);
        return false;
    }
    std::memcpy(locked, units.c_str(), bytes);
    GlobalUnlock(block);
    EmptyClipboard();
    if (!SetClipboardData(CF_UNICODETEXT, block)) {
        // The system did not take the block: it is still ours to free.
        GlobalFree(block);
        CloseClipboard();
        spdlog::warn("SetClipboardData failed: {}", GetLastError());
        return false;
    }
    CloseClipboard();
    return true;
}
