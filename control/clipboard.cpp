#include "control/clipboard.h"

#include <utility>

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

// Decodes UTF-8 and calls emit(code point) for each character. Each maximal ill-formed
// subsequence is reported once as U+FFFD, the way the Unicode standard recommends, so
// that the byte after a broken sequence still starts a character of its own.
template <typename Emit>
void decode_utf8(std::string_view text, Emit emit) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char lead = s[i];
        if (lead < 0x80) {
            emit(static_cast<char32_t>(lead));
            ++i;
            continue;
        }
        int needed = 0;
        unsigned char lower = 0x80, upper = 0xBF;
        char32_t cp = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0) lower = 0xA0;  // overlong
            if (lead == 0xED) upper = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            cp = lead & 0x07;
            if (lead == 0xF0) lower = 0x90;  // overlong
            if (lead == 0xF4) upper = 0x8F;  // above U+10FFFF
        } else {
            emit(REPLACEMENT);
            ++i;
            continue;
        }
        size_t j = i + 1;
        int seen = 0;
        while (seen < needed && j < n && s[j] >= lower && s[j] <= upper) {
            cp = (cp << 6) | (s[j] & 0x3F);
            lower = 0x80;
            upper = 0xBF;
            ++j;
            ++seen;
        }
        emit(seen == needed ? cp : REPLACEMENT);
        i = j;
    }
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Set on a watcher thread to the object it belongs to, so that stop() can tell when it
// is called from that object's own callback.
thread_local const ClipboardSync* t_current_watcher = nullptr;

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    decode_utf8(text, [&](char32_t cp) {
        if (cp < 0x10000) {
            out.push_back(static_cast<char16_t>(cp));
        } else {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
        }
    });
    return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3 / 2);
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (is_high_surrogate(u) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            append_utf8(out, 0x10000 + ((static_cast<char32_t>(u - 0xD800) << 10) | (text[i + 1] - 0xDC00)));
            ++i;
        } else if (is_high_surrogate(u) || is_low_surrogate(u)) {
            append_utf8(out, REPLACEMENT);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

std::string latin1_to_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) append_utf8(out, static_cast<unsigned char>(c));
    return out;
}

std::string utf8_to_latin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    decode_utf8(text, [&](char32_t cp) { out.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?'); });
    return out;
}

bool take_new_clipboard_text(const std::string& text, std::string& last_text) {
    if (text.empty() || text == last_text) return false;
    last_text = text;
    return true;
}

ClipboardSync::ClipboardSync() : ClipboardSync(get_clipboard_text, POLL_INTERVAL) {}

ClipboardSync::ClipboardSync(Reader reader, std::chrono::milliseconds interval)
    : reader_(std::move(reader)), interval_(interval) {}

ClipboardSync::~ClipboardSync() { stop(); }

void ClipboardSync::start(Callback callback) {
    std::lock_guard lifecycle(lifecycle_mutex_);
    if (running_.load()) return;
    // A watcher asked to stop from inside its callback cannot restart itself while that
    // callback is still on the stack.
    if (t_current_watcher == this) return;
    join_finished_thread();
    callback_ = std::move(callback);
    last_text_ = reader_ ? reader_() : std::string();
    running_.store(true);
    try {
        thread_ = std::thread(&ClipboardSync::run, this);
    } catch (...) {
        running_.store(false);
        throw;
    }
}

void ClipboardSync::stop() {
    {
        std::lock_guard lk(wake_mutex_);
        running_.store(false);
    }
    wake_.notify_all();
    // From the watcher's own callback: the thread ends after the callback returns and is
    // joined later; joining it here would deadlock.
    if (t_current_watcher == this) return;
    std::lock_guard lifecycle(lifecycle_mutex_);
    join_finished_thread();
}

void ClipboardSync::join_finished_thread() {
    if (thread_.joinable()) thread_.join();
}

void ClipboardSync::run() {
    t_current_watcher = this;
    while (running_.load()) {
        {
            std::unique_lock lk(wake_mutex_);
            wake_.wait_for(lk, interval_, [this] { return !running_.load(); });
        }
        if (!running_.load()) break;
        std::string text = reader_ ? reader_() : std::string();
        if (take_new_clipboard_text(text, last_text_) && callback_) callback_(last_text_);
    }
    t_current_watcher = nullptr;
}
