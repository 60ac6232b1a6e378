#pragma once

// Text clipboard of the host, kept in step with the viewers.
//
// Text travels inside the agent as UTF-8. The platform backend (clipboard_win.cpp,
// clipboard_x11.cpp) converts at its boundary: UTF-16 on Windows, UTF8_STRING / STRING
// selections on X11. Only text is handled; other clipboard formats are ignored.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// --- Text conversions (portable) ---------------------------------------------------

// UTF-8 to UTF-16. Every ill-formed sequence (stray continuation byte, truncated or
// overlong sequence, encoded surrogate, value above U+10FFFF) becomes one U+FFFD.
// Embedded NULs are converted like any other character.
std::u16string utf8_to_utf16(std::string_view text);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// ISO 8859-1 (X11 STRING) to UTF-8, and back; characters above U+00FF become '?'.
std::string latin1_to_utf8(std::string_view text);
std::string utf8_to_latin1(std::string_view text);

// --- Clipboard access (platform backend) ---------------------------------------------

// The clipboard's text as UTF-8; empty when the clipboard cannot be read or holds no text.
// Safe to call from any thread.
std::string get_clipboard_text();

// Puts UTF-8 text on the clipboard. True once it is there; false (and one log line) when
// the clipboard cannot be opened or taken over. Safe to call from any thread.
// On Windows the text ends at its first NUL character (the clipboard format is
// NUL-terminated). On X11 the agent becomes owner of the CLIPBOARD selection and a
// background thread serves the text until another client takes the selection; reads
// wait at most about a second for another owner's answer.
bool set_clipboard_text(const std::string& text);

// --- Watcher ----------------------------------------------------------------------------

// Change detection of the watcher: true when text is non-empty and differs from
// last_text, which then takes its value. Empty text (clipboard emptied, or holding
// something other than text) never counts and leaves last_text alone, so the same text
// coming back afterwards is not reported again.
bool take_new_clipboard_text(const std::string& text, std::string& last_text);

// Polls the clipboard on a thread of its own and hands every new, non-empty text to a
// callback. Text put on the clipboard with set_clipboard_text is seen as a change at the
// next poll and reported like any other, so a viewer's clipboard reaches all viewers.
class ClipboardSync {
public:
    using Callback = std::function<void(const std::string&)>;
    using Reader = std::function<std::string()>;

    static constexpr std::chrono::milliseconds POLL_INTERVAL{500};

    // Watches the host clipboard (get_clipboard_text).
    ClipboardSync();
    // Watches whatever reader returns, every interval; lets tests stand in for the clipboard.
    ClipboardSync(Reader reader, std::chrono::milliseconds interval);
    ~ClipboardSync();  // stops the watcher; must not run inside the watcher's own callback
    ClipboardSync(const ClipboardSync&) = delete;
    ClipboardSync& operator=(const ClipboardSync&) = delete;

    // Records the current clipboard text (so that it is not reported) and starts the
    // watcher, which calls callback on its own thread. Does nothing while already running.
    // An empty callback makes the watcher only track changes.
    void start(Callback callback);

    // Stops and joins the watcher; returns within about one clipboard read plus the
    // callback in progress. Harmless when stopped. Called from inside the callback it only
    // asks the watcher to end; the thread is joined by the next start, stop or destructor.
    void stop();

    bool running() const { return running_.load(); }

private:
    void run();
    void join_finished_thread();

    Callback callback_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::string last_text_;

    Reader reader_;
    std::chrono::milliseconds interval_;
    std::mutex lifecycle_mutex_;  // serialises start and stop
    std::mutex wake_mutex_;       // with wake_, cuts the poll sleep short on stop
    std::condition_variable wake_;
};
