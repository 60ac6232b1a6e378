#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/clipboard.h"
#include "tests/support/process.h"

using namespace std::chrono_literals;
using testsupport::wait_until;

namespace {

// A clipboard the test writes to, and a record of what the watcher reported.
struct FakeClipboard {
    std::mutex mutex;
    std::string text;
    int reads = 0;
    std::vector<std::string> reported;
    std::vector<std::thread::id> reporting_threads;

    void put(const std::string& t) {
        std::lock_guard lk(mutex);
        text = t;
    }
    std::string read() {
        std::lock_guard lk(mutex);
        ++reads;
        return text;
    }
    int read_count() {
        std::lock_guard lk(mutex);
        return reads;
    }
    void report(const std::string& t) {
        std::lock_guard lk(mutex);
        reported.push_back(t);
        reporting_threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> seen() {
        std::lock_guard lk(mutex);
        return reported;
    }
    // Waits until the watcher has polled at least n more times, so that a change it would
    // report has had its chance.
    void let_watcher_poll(int n = 3) {
        const int target = read_count() + n;
        ASSERT_TRUE(wait_until([&] { return read_count() >= target; }, 5s));
    }
};

class ClipboardSyncTest : public testing::Test {
protected:
    FakeClipboard clip;
    ClipboardSync sync{[this] { return clip.read(); }, 5ms};

    void start() {
        sync.start([this](const std::string& t) { clip.report(t); });
    }
    void change_and_settle(const std::string& t) {
        clip.put(t);
        clip.let_watcher_poll();
    }
};

TEST(TakeNewClipboardText, EmptyTextNeverCountsNorForgetsTheLastOne) {
    std::string last = "a";
    EXPECT_FALSE(take_new_clipboard_text("a", last));
    EXPECT_FALSE(take_new_clipboard_text("", last));
    EXPECT_EQ(last, "a");
    EXPECT_TRUE(take_new_clipboard_text(std::string("a\0", 2), last));  // differs by length only
    EXPECT_EQ(last, std::string("a\0", 2));
}

TEST_F(ClipboardSyncTest, TextPresentAtStartIsNotReported) {
    clip.put("already there");
    start();
    clip.let_watcher_poll();
    EXPECT_TRUE(clip.seen().empty());
    change_and_settle("new");
    EXPECT_EQ(clip.seen(), std::vector<std::string>{"new"});
}

TEST_F(ClipboardSyncTest, EachChangeIsReportedOnceOnTheWatcherThread) {
    start();
    change_and_settle("A");
    change_and_settle("A");  // copied again
    change_and_settle("");   // an image: no text
    change_and_settle("A");  // the same text back
    change_and_settle("B");
    change_and_settle("A");
    change_and_settle("\xF0\x9F\x98\x80");
    EXPECT_EQ(clip.seen(), (std::vector<std::string>{"A", "B", "A", "\xF0\x9F\x98\x80"}));
    std::lock_guard lk(clip.mutex);
    for (auto id : clip.reporting_threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(ClipboardSyncTest, SecondStartKeepsTheFirstCallback) {
    start();
    bool second_called = false;
    sync.start([&](const std::string&) { second_called = true; });
    change_and_settle("x");
    sync.stop();
    EXPECT_FALSE(second_called);
    EXPECT_EQ(clip.seen(), std::vector<std::string>{"x"});
}

TEST_F(ClipboardSyncTest, RestartsWithNewCallbackAndIgnoresWhatChangedWhileStopped) {
    start();
    change_and_settle("one");
    sync.stop();
    EXPECT_FALSE(sync.running());
    clip.put("while stopped");

    std::vector<std::string> second;
    sync.start([&](const std::string& t) { second.push_back(t); });
    change_and_settle("two");
    sync.stop();
    EXPECT_EQ(clip.seen(), std::vector<std::string>{"one"});
    EXPECT_EQ(second, std::vector<std::string>{"two"});
}

TEST(ClipboardSync, StopDoesNotWaitForTheNextPoll) {
    // With an hour between polls, a stop that waited out the sleep would hang the test.
    ClipboardSync sync([] { return std::string("x"); }, std::chrono::hours(1));
    sync.start([](const std::string&) {});
    sync.stop();
    EXPECT_FALSE(sync.running());
    sync.stop();  // harmless twice
}

TEST(ClipboardSync, StopFromInsideTheCallbackEndsTheWatcher) {
    std::atomic<int> n{0};
    std::atomic<bool> stopped{false};
    ClipboardSync sync([&] { return std::to_string(n++); }, 1ms);
    sync.start([&](const std::string&) {
        sync.stop();
        stopped = true;
    });
    ASSERT_TRUE(wait_until([&] { return stopped.load(); }, 5s));
    EXPECT_FALSE(sync.running());
    // The watcher ended: it no longer reads the clipboard.
    sync.stop();
    const int reads = n.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(n.load(), reads);
    // And it can be started again.
    std::atomic<int> calls{0};
    sync.start([&](const std::string&) { ++calls; });
    ASSERT_TRUE(wait_until([&] { return calls.load() > 0; }, 5s));
}

}  // namespace
