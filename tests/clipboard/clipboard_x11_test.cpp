// The X11 clipboard against a real X server (Xvfb) and a real X client (xclip).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "control/clipboard.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

// Last: Xlib defines macros (None, Bool) that clash with names in the headers above.
#include <X11/Xlib.h>

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::TempDir;
using testsupport::wait_until;

namespace {

// One X server for the whole binary, since the clipboard keeps its connections open.
// A function-local static made before the clipboard's own statics is destroyed after
// them, so the server outlives every connection to it.
testsupport::VirtualDisplay* g_display = nullptr;

class XServerEnvironment : public testing::Environment {
public:
    void SetUp() override {
        static testsupport::VirtualDisplay display;
        ASSERT_TRUE(display.ok()) << "Xvfb did not start";
        setenv("DISPLAY", display.name().c_str(), 1);
        g_display = &display;
    }
};

const auto* const g_env = testing::AddGlobalTestEnvironment(new XServerEnvironment);

const std::string SMILEY = "\xF0\x9F\x98\x80";  // U+1F600

std::map<std::string, std::string> x_env() { return {{"DISPLAY", g_display->name()}}; }

// Output of `xclip -selection clipboard -o [-t target]`; no value if xclip failed.
std::optional<std::string> xclip_out(const std::string& target = {}) {
    std::vector<std::string> argv = {"/usr/bin/xclip", "-selection", "clipboard", "-o"};
    if (!target.empty()) argv.insert(argv.end(), {"-t", target});
    Process p;
    if (!p.start(argv, x_env())) return std::nullopt;
    auto rc = p.wait(20s);
    if (!rc) p.stop();
    if (rc != 0) return std::nullopt;
    return p.out();
}

// An X client that copies text and keeps serving it until another client takes over.
class XclipOwner {
public:
    explicit XclipOwner(const std::string& text) {
        testsupport::write_file(dir_ / "in.txt", text);
        started_ = proc_.start({"/usr/bin/xclip", "-selection", "clipboard", "-quiet", "-i", dir_ / "in.txt"}, x_env());
    }
    bool started() const { return started_; }
    Process& process() { return proc_; }

private:
    TempDir dir_{"clipboard"};
    Process proc_;
    bool started_ = false;
};

// Records what a watcher reports.
struct Reports {
    std::mutex mutex;
    std::vector<std::string> texts;
    ClipboardSync::Callback callback() {
        return [this](const std::string& t) {
            std::lock_guard lk(mutex);
            texts.push_back(t);
        };
    }
    size_t count(const std::string& t) {
        std::lock_guard lk(mutex);
        return static_cast<size_t>(std::count(texts.begin(), texts.end(), t));
    }
    size_t size() {
        std::lock_guard lk(mutex);
        return texts.size();
    }
};

// Lets the 500 ms watcher poll a few more times.
void let_watcher_poll() { std::this_thread::sleep_for(1600ms); }

TEST(ClipboardX11, SetTextIsServedToOtherClients) {
    const std::string text = "h\xC3\xA9llo " + SMILEY + " w\xC3\xB6rld\nline two";
    ASSERT_TRUE(set_clipboard_text(text));
    EXPECT_EQ(get_clipboard_text(), text);  // our own selection, no round trip
    EXPECT_EQ(xclip_out(), text);
    EXPECT_EQ(xclip_out("UTF8_STRING"), text);
    EXPECT_EQ(xclip_out("STRING"), "h\xE9llo ? w\xF6rld\nline two");  // Latin-1 for old clients

    auto targets = xclip_out("TARGETS");
    ASSERT_TRUE(targets);
    for (const char* t : {"TARGETS", "UTF8_STRING", "STRING", "TIMESTAMP"}) EXPECT_NE(targets->find(t), std::string::npos) << t;
    EXPECT_FALSE(xclip_out("image/png")) << "a target we do not offer must be refused";
}

TEST(ClipboardX11, TextCopiedByAnotherClientIsReportedOnceAndReplacesOurs) {
    ASSERT_TRUE(set_clipboard_text("ours before"));
    Reports reports;
    ClipboardSync sync;
    sync.start(reports.callback());

    const std::string copied = "copied " + SMILEY;
    XclipOwner xclip(copied);
    ASSERT_TRUE(xclip.started());
    // xclip's claim ends our ownership (SelectionClear): reads now ask xclip.
    ASSERT_TRUE(wait_until([&] { return reports.count(copied) > 0; }, 10s));
    EXPECT_EQ(get_clipboard_text(), copied);
    let_watcher_poll();
    sync.stop();
    EXPECT_EQ(reports.count(copied), 1u);
    EXPECT_EQ(reports.size(), 1u) << "'ours before' was on the clipboard at start";

    // Taking the selection back ends xclip, which serves until it loses ownership.
    ASSERT_TRUE(set_clipboard_text("ours again"));
    EXPECT_TRUE(xclip.process().wait(10s).has_value());
    EXPECT_EQ(xclip_out(), "ours again");
}

TEST(ClipboardX11, TextFromViewerIsReportedOnceAtTheNextPoll) {
    Reports reports;
    ClipboardSync sync;
    sync.start(reports.callback());
    ASSERT_TRUE(set_clipboard_text("from a viewer"));
    ASSERT_TRUE(wait_until([&] { return reports.size() > 0; }, 5s));
    let_watcher_poll();
    sync.stop();
    EXPECT_EQ(reports.count("from a viewer"), 1u);
    EXPECT_EQ(reports.size(), 1u);
}

TEST(ClipboardX11, OwnerThatWentAwayReadsEmpty) {
    {
        XclipOwner xclip("short-lived");
        ASSERT_TRUE(xclip.started());
        ASSERT_TRUE(wait_until([] { return get_clipboard_text() == "short-lived"; }, 10s));
    }  // xclip stopped: the selection has no owner
    ASSERT_TRUE(wait_until([] { return get_clipboard_text().empty(); }, 10s));
}

TEST(ClipboardX11, SilentOwnerDoesNotBlockReads) {
    // An owner that never answers: reads give up after their bounded wait.
    Display* dpy = XOpenDisplay(g_display->name().c_str());
    ASSERT_NE(dpy, nullptr);
    Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(dpy, XInternAtom(dpy, "CLIPBOARD", False), w, CurrentTime);
    XSync(dpy, False);
    EXPECT_EQ(get_clipboard_text(), "");
    XCloseDisplay(dpy);
    // Later reads are not confused by the late state.
    ASSERT_TRUE(set_clipboard_text("after silence"));
    EXPECT_EQ(xclip_out(), "after silence");
}

TEST(ClipboardX11, LargeTextTravelsInIncrChunksBothWays) {
    std::string big;
    big.reserve(3u << 20);
    for (int i = 0; big.size() < (3u << 20); ++i) big += std::to_string(i) + " \xC3\xA9" + SMILEY + "\n";

    LogCapture log;
    ASSERT_TRUE(set_clipboard_text(big));
    auto served = xclip_out();
    ASSERT_TRUE(served);
    EXPECT_EQ(served->size(), big.size());
    EXPECT_TRUE(*served == big);

    const std::string other = "OTHER" + big;
    XclipOwner xclip(other);
    ASSERT_TRUE(xclip.started());
    std::string read;
    ASSERT_TRUE(wait_until([&] { return (read = get_clipboard_text()).starts_with("OTHER"); }, 10s));
    EXPECT_EQ(read.size(), other.size());
    EXPECT_TRUE(read == other);
    // Checked last: the serving thread's line is ordered before this read by the
    // clipboard's own lock, which the capture's reader does not take.
    EXPECT_TRUE(log.contains("debug|Clipboard: serving")) << log.text();
    EXPECT_TRUE(log.contains("debug|Clipboard: receiving text in INCR chunks")) << log.text();
}

TEST(ClipboardX11, RequestorVanishingMidTransferIsSurvived) {
    ASSERT_TRUE(set_clipboard_text(std::string(2u << 20, 'v')));
    // A client that asks for the text, takes the INCR announcement, requests the first
    // chunk and disappears: writes to its window now fail with X errors.
    Display* dpy = XOpenDisplay(g_display->name().c_str());
    ASSERT_NE(dpy, nullptr);
    Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    Atom prop = XInternAtom(dpy, "VANISHING", False);
    XConvertSelection(dpy, XInternAtom(dpy, "CLIPBOARD", False), XInternAtom(dpy, "UTF8_STRING", False), prop, w,
                      CurrentTime);
    XEvent ev;
    do XNextEvent(dpy, &ev);
    while (ev.type != SelectionNotify);
    ASSERT_EQ(ev.xselection.property, prop);
    XDeleteProperty(dpy, w, prop);
    XCloseDisplay(dpy);

    // Still serving, and another large transfer works.
    ASSERT_TRUE(set_clipboard_text(std::string(2u << 20, 'w')));
    auto served = xclip_out();
    ASSERT_TRUE(served);
    EXPECT_TRUE(*served == std::string(2u << 20, 'w'));
}

TEST(ClipboardX11, ConcurrentSettersAndReaders) {
    ASSERT_TRUE(set_clipboard_text("a-first"));
    std::atomic<bool> failed{false};
    auto setter = [&](const std::string& prefix) {
        for (int i = 0; i < 40; ++i)
            if (!set_clipboard_text(prefix + std::to_string(i))) failed = true;
    };
    std::thread a(setter, "a"), b(setter, "b");
    std::thread reader([&] {
        for (int i = 0; i < 40; ++i) {
            const std::string t = get_clipboard_text();
            if (t.empty() || (t[0] != 'a' && t[0] != 'b')) failed = true;
        }
    });
    a.join();
    b.join();
    reader.join();
    EXPECT_FALSE(failed.load());
    ASSERT_TRUE(set_clipboard_text("settled"));
    EXPECT_EQ(xclip_out(), "settled");
}

}  // namespace
