#include <chrono>

#include <gtest/gtest.h>

#include "app/dispatch.h"
#include "tests/support/log_capture.h"

using Bytes = std::vector<uint8_t>;

namespace {
struct Recorder {
    std::vector<InputEvent> inputs;
    std::vector<std::string> clips;
    std::vector<Bytes> chunks;
    std::vector<uint32_t> rates;
    int keyframes = 0;
    DispatchTargets targets() {
        return {[this](const InputEvent& e) { inputs.push_back(e); },
                [this](const std::string& t) {
                    clips.push_back(t);
                    return true;
                },
                [this](const Bytes& m) {
                    chunks.push_back(m);
                    return true;
                },
                [this](uint32_t k) { rates.push_back(k); },
                [this] { ++keyframes; }};
    }
};
}  // namespace

TEST(Dispatch, RoutesEachTypeToItsComponent) {
    LogCapture log;
    Recorder r;
    auto t = r.targets();
    dispatch_viewer_message("s", Bytes{0x04}, t);  // too short
    dispatch_viewer_message("s", Bytes{0x04, 0xFF, 0x7F, 0xFF, 0x7F, 0, 0, 0, 0}, t);
    dispatch_viewer_message("s", Bytes{0x05, 0x41, 0, 0x1E, 0, 0x01}, t);
    dispatch_viewer_message("s", Bytes{0x0A, 0, 0, 0, 0}, t);
    Bytes chunk = {0x0B, 1, 2, 3};
    dispatch_viewer_message("s", chunk, t);  // handed over whole, even when short
    for (uint8_t type : {0x01, 0x02, 0x03, 0x06, 0x0F, 0x99}) dispatch_viewer_message("s", Bytes{type, 0, 0, 0, 0, 0, 0, 0, 0}, t);
    dispatch_viewer_message("s", Bytes{}, t);
    dispatch_viewer_message("s", Bytes{0x10}, t);  // keyframe request: the type byte alone
    dispatch_viewer_message("s", Bytes{0x10, 7, 7}, t);

    EXPECT_EQ(r.keyframes, 2);
    ASSERT_EQ(r.inputs.size(), 2u);
    EXPECT_EQ(r.inputs[0].kind, InputKind::MouseMove);
    EXPECT_EQ(r.inputs[0].x, 32767);
    EXPECT_EQ(r.inputs[1].kind, InputKind::KeyUp);
    ASSERT_EQ(r.clips.size(), 1u);
    EXPECT_EQ(r.clips[0], "");
    EXPECT_TRUE(log.contains("info|Clipboard set from viewer (0 chars)"));
    ASSERT_EQ(r.chunks.size(), 1u);
    EXPECT_EQ(r.chunks[0], chunk);
    EXPECT_TRUE(r.rates.empty());
}

TEST(Dispatch, BitrateIsClampedBeforeTheEncoder) {
    LogCapture log;
    Recorder r;
    auto t = r.targets();
    dispatch_viewer_message("s", Bytes{0x0E, 0xA0, 0x0F, 0, 0}, t);  // 4000
    dispatch_viewer_message("s", Bytes{0x0E, 0, 0, 0, 0}, t);        // 0
    dispatch_viewer_message("s", Bytes{0x0E, 0xFF, 0xFF, 0xFF, 0xFF}, t);
    EXPECT_EQ(r.rates, (std::vector<uint32_t>{4000, 100, 200000}));
    EXPECT_TRUE(log.contains("info|Adjusting bitrate to 4000 kbps"));
    EXPECT_TRUE(log.contains("info|Adjusting bitrate to 100 kbps"));
    EXPECT_TRUE(log.contains("warning|Requested bitrate 0 kbps is out of range"));
}

TEST(Dispatch, AFloodOfRequestsIsActedOnButLoggedOnlyAFewTimes) {
    LogCapture log;
    Recorder r;
    auto t = r.targets();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10000; ++i) {
        dispatch_viewer_message("s", build_set_bitrate(1000 + i % 7), t);
        dispatch_viewer_message("s", build_clipboard_text("x"), t);
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(r.rates.size(), 10000u);
    EXPECT_EQ(r.clips.size(), 10000u);
    EXPECT_LE(log.count("\n"), 8u * (seconds.count() + 1)) << log.text().substr(0, 2000);
}
