// The live desktop end to end: a known picture on Xvfb reaches a viewer through the
// relay, decodes and matches; the pointer, a still screen, bit-rate changes, and the
// agent's own start and stop.
#include <csignal>
#include <thread>

#include "tests/e2e/e2e_fixture.h"
#include "viewer/video_decoder.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

struct Rgb {
    int r, g, b;
};

// Pixel of a decoded BGRA picture.
Rgb pixel(const DecodedPicture& p, uint32_t x, uint32_t y) {
    const uint8_t* px = p.pixels.data() + static_cast<size_t>(y) * p.stride + static_cast<size_t>(x) * 4;
    return {px[2], px[1], px[0]};
}

bool near(const Rgb& a, const Rgb& b, int tolerance = 24) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

class DesktopStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.start_system(1280, 720)) << rig.error();
    }
    Rig rig;
};

}  // namespace

TEST_F(DesktopStream, KnownPictureArrivesDecodesAndMatches) {
    ASSERT_TRUE(rig.start_pattern("--static"));
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    TestViewer viewer;
    ASSERT_TRUE(viewer.join(rig)) << viewer.session.last_error();
    ASSERT_TRUE(wait_until([&] { return viewer.received.video_count() >= 1; }, 15s));

    VideoDecoder decoder(PictureFormat::Bgra);
    std::vector<VideoFrameMsg> frames = viewer.received.video();
    ASSERT_TRUE(frames.front().keyframe) << "the first picture a new viewer gets must be decodable";
    for (const auto& f : frames) {
        EXPECT_EQ(f.width, 1280);
        EXPECT_EQ(f.height, 720);
        decoder.decode(f.data, f.width, f.height);
    }
    ASSERT_TRUE(decoder.has_picture());
    const DecodedPicture& pic = decoder.picture();
    ASSERT_EQ(pic.width, 1280u);
    ASSERT_EQ(pic.height, 720u);
    // Block centres of the test pattern (see tools/testpattern.cpp).
    EXPECT_TRUE(near(pixel(pic, 1280 / 4, 720 / 4), {255, 0, 0}));
    EXPECT_TRUE(near(pixel(pic, 3 * 1280 / 4, 720 / 4), {0, 255, 0}));
    EXPECT_TRUE(near(pixel(pic, 1280 / 4, 3 * 720 / 4), {0, 0, 255}));
    EXPECT_TRUE(near(pixel(pic, 3 * 1280 / 4, 3 * 720 / 4), {255, 255, 255}));
    EXPECT_TRUE(near(pixel(pic, 1280 / 2, 720 / 2), {128, 128, 128}));
    EXPECT_TRUE(near(pixel(pic, 5, 5), {128, 128, 128}));
}

TEST_F(DesktopStream, StillScreenSendsNoVideoAndPointerMovesSendCursorUpdates) {
    ASSERT_TRUE(rig.start_pattern("--static"));
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    TestViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    ASSERT_TRUE(wait_until([&] { return viewer.received.video_count() >= 1; }, 15s));
    // Let the first picture settle, then watch a still screen for a while.
    std::this_thread::sleep_for(1500ms);
    size_t settled = viewer.received.video_count();
    std::this_thread::sleep_for(2000ms);
    EXPECT_EQ(viewer.received.video_count(), settled) << "a still screen must not produce video";

    run_command({"xdotool", "mousemove", "321", "234"}, rig.display());
    ASSERT_TRUE(wait_until(
        [&] {
            for (const auto& c : viewer.received.cursors())
                if (c.x == 321 && c.y == 234) return true;
            return false;
        },
        10s));
    auto cursors = viewer.received.cursors();
    EXPECT_TRUE(cursors.back().visible);
    EXPECT_TRUE(cursors.back().has_shape);
    EXPECT_EQ(cursors.back().rgba.size(), size_t{cursors.back().shape_width} * cursors.back().shape_height * 4);
}

TEST_F(DesktopStream, SetBitrateChangesTheEncodedRate) {
    ASSERT_TRUE(rig.start_pattern("--moving"));
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    TestViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    auto bytes_in = [&](std::chrono::milliseconds window) {
        size_t start = viewer.received.video_count();
        std::this_thread::sleep_for(window);
        auto frames = viewer.received.video();
        size_t total = 0;
        for (size_t i = start; i < frames.size(); ++i) total += frames[i].data.size();
        return total;
    };
    ASSERT_TRUE(viewer.session.send_set_bitrate(20000));
    ASSERT_TRUE(rig.agent().wait_for_output("Adjusting bitrate to 20000 kbps", 10s));
    std::this_thread::sleep_for(1500ms);  // let the rate settle
    size_t high = bytes_in(3000ms);
    ASSERT_TRUE(viewer.session.send_set_bitrate(150));
    ASSERT_TRUE(rig.agent().wait_for_output("Adjusting bitrate to 150 kbps", 10s));
    std::this_thread::sleep_for(1500ms);
    size_t low = bytes_in(3000ms);
    EXPECT_GT(high, 0u);
    EXPECT_LT(low * 4, high) << "high " << high << " low " << low;

    ASSERT_TRUE(viewer.session.send_set_bitrate(0));
    EXPECT_TRUE(rig.agent().wait_for_output("Adjusting bitrate to 100 kbps", 10s));
    EXPECT_TRUE(rig.agent().running());
}

TEST_F(DesktopStream, SigintStopsInOrderWithExitCodeZero) {
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    TestViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    rig.agent().signal(SIGINT);
    auto code = rig.agent().wait(15s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    std::string out = rig.agent().out();
    size_t stop = out.find("[info] Agent shutting down...");
    size_t closed = out.find("[info] WebSocket disconnected: 1000 Normal closure");
    ASSERT_NE(stop, std::string::npos) << out;
    ASSERT_NE(closed, std::string::npos) << out;
    EXPECT_LT(out.find("Starting capture loop..."), stop);
    EXPECT_LT(stop, closed);
}

TEST_F(DesktopStream, NoRelayAtStartFailsWithExitCodeOne) {
    rig.relay().stop();
    Process agent;
    ASSERT_TRUE(agent.start({bin("agent")}, {{"APPDATA", rig.appdata()}, {"DISPLAY", rig.display()}},
                            rig.dir().path()));
    auto code = agent.wait(30s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 1);
    EXPECT_NE(agent.out().find("[error] Failed to connect to relay server"), std::string::npos) << agent.out();
    EXPECT_NE(agent.out().find("[error] WebSocket error: "), std::string::npos) << agent.out();
}
