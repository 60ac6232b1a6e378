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
    EXPECT_TRUE(log.contains("warning|Clipboard unavailable: cannot open X display ''"));

    // The watcher keeps polling quietly and reports nothing.
    ClipboardSync sync;
    sync.start([](const std::string&) { ADD_FAILURE() << "nothing to report"; });
    sync.stop();
}

}  // namespace
