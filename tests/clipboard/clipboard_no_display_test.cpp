#include <gtest/gtest.h>

#include <cstdlib>

#include "control/clipboard.h"
#include "tests/support/log_capture.h"

namespace {

TEST(ClipboardWithoutDisplay, FailsWithOneLogLinePerCall) {
    unsetenv("DISPLAY");
    LogCapture log;
    EXPECT_EQ(get_clipboard_text(), "");
    EXPECT_EQ(log.count("cannot open X display"), 1u);
    EXPECT_FALSE(set_clipboard_text("lost"));
    EXPECT_EQ(log.count("cannot open X display"), 2u);
    EXPECT_EQ(log.count("\n"), 2u);
    // Reported as a warning once; the watcher's repeats every poll stay at debug level.
    EXPECT_TRUE(log.contains("debug|Clipboard unavailable: cannot open X display ''")) << log.text();

    // The watcher keeps polling quietly and reports nothing.
    ClipboardSync sync;
    sync.start([](const std::string&) { ADD_FAILURE() << "nothing to report"; });
    sync.stop();
}

}  // namespace
