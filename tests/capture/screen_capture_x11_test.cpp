// Screen capture and monitor listing against a real X server (Xvfb): pixels drawn by a
// second client must come out of capture_frame, a still screen must not.

#include <algorithm>
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "media/monitors.h"
#include "media/screen_capture.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

// Last: Xlib's macros (None, Bool, Status) collide with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace std::chrono_literals;
using testsupport::VirtualDisplay;

namespace {

using Bgra = std::array<uint8_t, 4>;

Bgra at(const CapturedFrame& frame, uint32_t x, uint32_t y) {
    const uint8_t* p = frame.data.data() + size_t{y} * frame.stride + size_t{x} * 4;
    return {p[0], p[1], p[2], p[3]};
}

// A second X client that draws on the root window and moves the pointer.
class Painter {
public:
    explicit Painter(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
    ~Painter() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }

    void fill(uint8_t r, uint8_t g, uint8_t b, int x, int y, unsigned w, unsigned h) {
        Window root = DefaultRootWindow(display_);
        GC gc = XCreateGC(display_, root, 0, nullptr);
        XSetForeground(display_, gc, pixel(r, g, b));
        XFillRectangle(display_, root, gc, x, y, w, h);
        XFreeGC(display_, gc);
        XSync(display_, False);
    }

    void warp(int x, int y) {
        XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
        XSync(display_, False);
    }

    // Gives the root window an empty pointer shape, the way applications hide the pointer.
    void hide_pointer() {
        Window root = DefaultRootWindow(display_);
        char bits[1] = {0};
        Pixmap empty = XCreateBitmapFromData(display_, root, bits, 1, 1);
        XColor black{};
        Cursor blank = XCreatePixmapCursor(display_, empty, empty, &black, &black, 0, 0);
        XDefineCursor(display_, root, blank);
        XFreeCursor(display_, blank);
        XFreePixmap(display_, empty);
        XSync(display_, False);
    }

private:
    // The visual's pixel value of a colour (TrueColor of any depth).
    unsigned long pixel(uint8_t r, uint8_t g, uint8_t b) const {
        Visual* visual = DefaultVisual(display_, DefaultScreen(display_));
        auto part = [](uint8_t value, unsigned long mask) {
            unsigned long bits = static_cast<unsigned long>(std::popcount(mask));
            return ((static_cast<unsigned long>(value) * ((1ul << bits) - 1) + 127) / 255) << std::countr_zero(mask);
        };
        return part(r, visual->red_mask) | part(g, visual->green_mask) | part(b, visual->blue_mask);
    }

    Display* display_;
};

// Xvfb without the extensions the capture prefers, to exercise its fallbacks.
class PlainXvfb {
public:
    PlainXvfb() {
        for (int attempt = 0; attempt < 10 && name_.empty(); ++attempt) {
            int n = 100 + std::rand() % 800;
            std::string display = ":" + std::to_string(n);
            if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
            if (!xvfb_.start({"Xvfb", display, "-screen", "0", "160x120x24", "-nolisten", "tcp", "-extension",
                              "MIT-SHM", "-extension", "DAMAGE"})) {
                return;
            }
            std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (testsupport::wait_until([&] { return std::filesystem::exists(socket) || !xvfb_.running(); }, 10000ms) &&
                xvfb_.running()) {
                name_ = display;
            } else {
                xvfb_.stop();
            }
        }
    }
    const std::string& name() const { return name_; }

private:
    testsupport::Process xvfb_;
    std::string name_;
};

class X11Capture : public ::testing::Test {
protected:
    void start(int width = 320, int height = 240, int depth = 24) {
        display_ = std::make_unique<VirtualDisplay>(width, height, depth);
        ASSERT_TRUE(display_->ok()) << "Xvfb did not start";
        use(display_->name());
    }

    void use(const std::string& name) {
        setenv("DISPLAY", name.c_str(), 1);
        painter_ = std::make_unique<Painter>(name);
        ASSERT_TRUE(painter_->ok());
    }

    void SetUp() override {
        if (const char* old = std::getenv("DISPLAY")) saved_display_ = old;
    }
    void TearDown() override {
        if (saved_display_) {
            setenv("DISPLAY", saved_display_->c_str(), 1);
        } else {
            unsetenv("DISPLAY");
        }
    }

    // Calls capture_frame until it yields a frame (bounded).
    static std::optional<CapturedFrame> next_frame(ScreenCapture& capture) {
        std::optional<CapturedFrame> frame;
        testsupport::wait_until([&] { return (frame = capture.capture_frame()).has_value(); }, 5000ms);
        return frame;
    }

    std::unique_ptr<VirtualDisplay> display_;
    std::unique_ptr<Painter> painter_;
    std::optional<std::string> saved_display_;
};

}  // namespace

TEST_F(X11Capture, FirstFrameHasTheDisplaySizeAndTheDrawnColours) {
    start(320, 240);
    painter_->fill(255, 0, 0, 10, 10, 50, 40);
    painter_->fill(0, 255, 0, 100, 50, 30, 30);
    painter_->fill(0, 0, 255, 300, 220, 20, 20);  // touches the bottom-right corner

    ScreenCapture capture;
    ASSERT_TRUE(capture.initialize(0));
    EXPECT_EQ(capture.width(), 320u);
    EXPECT_EQ(capture.height(), 240u);

    auto frame = capture.capture_frame();  // the first call always yields a frame
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 320u);
    EXPECT_EQ(frame->height, 240u);
    EXPECT_GE(frame->stride, 320u * 4);
    EXPECT_EQ(frame->data.size(), size_t{frame->height} * frame->stride);
    EXPECT_EQ(at(*frame, 10, 10), (Bgra{0, 0, 255, 255}));
    EXPECT_EQ(at(*frame, 59, 49), (Bgra{0, 0, 255, 255}));
    EXPECT_NE(at(*frame, 60, 50), (Bgra{0, 0, 255, 255}));  // just outside the red rectangle
    EXPECT_EQ(at(*frame, 115, 65), (Bgra{0, 255, 0, 255}));
    EXPECT_EQ(at(*frame, 319, 239), (Bgra{255, 0, 0, 255}));
}

TEST_F(X11Capture, StillScreenYieldsNothingAndAChangeYieldsTheNewImage) {
    start();
    ScreenCapture capture;
    ASSERT_TRUE(capture.initialize(0));
    ASSERT_TRUE(capture.capture_frame());
    LogCapture logs;
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(capture.capture_frame()) << "call " << i;
    EXPECT_EQ(logs.text(), "");

    painter_->fill(255, 255, 0, 200, 100, 10, 10);
    auto frame = next_frame(capture);
    ASSERT_TRUE(frame);
    EXPECT_EQ(at(*frame, 205, 105), (Bgra{0, 255, 255, 255}));
    // One change, one frame.
    EXPECT_FALSE(capture.capture_frame());
}

// The kept picture: a change is reported as its rectangle (widened to even corners) and
// only that part of the picture is fetched again; the rest stays as it was; a full-frame
// request reports the whole picture.
TEST_F(X11Capture, ChangesComeAsRectanglesIntoTheKeptPicture) {
    {
        start(321, 241);
        ScreenCapture capture;
        ASSERT_TRUE(capture.initialize(0));
        const CapturedFrame* picture = capture.capture_changes(16);
        ASSERT_NE(picture, nullptr);
        ASSERT_EQ(picture->damage.size(), 1u);
        EXPECT_EQ(picture->damage[0], (DamageRect{0, 0, 321, 241}));

        painter_->fill(0, 0, 255, 101, 51, 7, 5);
        painter_->fill(255, 0, 0, 318, 238, 3, 3);  // the bottom-right corner
        std::vector<DamageRect> seen;
        testsupport::wait_until(
            [&] {
                if (const CapturedFrame* p = capture.capture_changes(16))
                    seen.insert(seen.end(), p->damage.begin(), p->damage.end());
                return seen.size() >= 2;
            },
            5000ms);
        std::sort(seen.begin(), seen.end(), [](const DamageRect& a, const DamageRect& b) { return a.x < b.x; });
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0], (DamageRect{100, 50, 8, 6}));
        EXPECT_EQ(seen[1], (DamageRect{318, 238, 3, 3}));
        picture = capture.capture_changes(0);
        EXPECT_EQ(picture, nullptr) << "nothing changed since";

        capture.request_full_frame();
        picture = capture.capture_changes(0);
        ASSERT_NE(picture, nullptr);
        ASSERT_EQ(picture->damage.size(), 1u);
        EXPECT_EQ(picture->damage[0], (DamageRect{0, 0, 321, 241}));
        auto pixel = [&](uint32_t x, uint32_t y) {
            const uint8_t* p = picture->pixels() + size_t{y} * picture->stride + size_t{x} * 4;
            return Bgra{p[0], p[1], p[2], 255};
        };
        EXPECT_EQ(pixel(104, 53), (Bgra{255, 0, 0, 255}));
        EXPECT_EQ(pixel(320, 240), (Bgra{0, 0, 255, 255}));
        EXPECT_NE(pixel(99, 49), (Bgra{255, 0, 0, 255}));
    }
}

TEST_F(X11Capture, PointerMovesAndShapeReachTheCursorFields) {
    start();
    ScreenCapture capture;
    ASSERT_TRUE(capture.initialize(0));
    painter_->warp(40, 30);
    capture.capture_frame();
    EXPECT_TRUE(capture.cursor_dirty);
    EXPECT_TRUE(capture.cursor_has_shape);
    EXPECT_TRUE(capture.cursor_visible);
    EXPECT_EQ(capture.cursor_x, 40);
    EXPECT_EQ(capture.cursor_y, 30);
    EXPECT_GT(capture.cursor_shape_width, 0u);
    EXPECT_GT(capture.cursor_shape_height, 0u);
    EXPECT_EQ(capture.cursor_rgba.size(), size_t{capture.cursor_shape_width} * capture.cursor_shape_height * 4);
    EXPECT_GE(capture.cursor_hotspot_x, 0);
    EXPECT_LT(capture.cursor_hotspot_x, static_cast<int32_t>(capture.cursor_shape_width));

    capture.clear_cursor_dirty();
    capture.capture_frame();
    EXPECT_FALSE(capture.cursor_dirty) << "a still pointer is not reported again";

    painter_->warp(123, 77);
    capture.capture_frame();
    EXPECT_TRUE(capture.cursor_dirty);
    EXPECT_EQ(capture.cursor_x, 123);
    EXPECT_EQ(capture.cursor_y, 77);
    EXPECT_TRUE(capture.cursor_has_shape);

    // A new, empty shape arrives through the cursor notification and hides the pointer.
    capture.clear_cursor_dirty();
    painter_->hide_pointer();
    EXPECT_TRUE(testsupport::wait_until(
        [&] {
            capture.capture_frame();
            return !capture.cursor_visible;
        },
        5000ms));
    EXPECT_TRUE(capture.cursor_dirty);
    EXPECT_TRUE(capture.cursor_has_shape);
    EXPECT_EQ(capture.cursor_x, 123);
    for (size_t i = 3; i < capture.cursor_rgba.size(); i += 4) ASSERT_EQ(capture.cursor_rgba[i], 0) << "pixel " << i / 4;
}

TEST_F(X11Capture, SixteenBitDisplayIsConvertedToBgra) {
    start(160, 120, 16);
    painter_->fill(255, 0, 0, 0, 0, 80, 120);
    painter_->fill(0, 0, 255, 80, 0, 80, 120);
    ScreenCapture capture;
    ASSERT_TRUE(capture.initialize(0));
    auto frame = capture.capture_frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->data.size(), size_t{frame->height} * frame->stride);
    EXPECT_EQ(at(*frame, 10, 60), (Bgra{0, 0, 255, 255}));
    EXPECT_EQ(at(*frame, 150, 60), (Bgra{255, 0, 0, 255}));
}

TEST_F(X11Capture, WithoutShmAndDamageEveryCallReadsTheScreen) {
    PlainXvfb plain;
    ASSERT_FALSE(plain.name().empty()) << "Xvfb did not start";
    use(plain.name());
    painter_->fill(0, 128, 255, 0, 0, 160, 120);
    LogCapture logs;
    ScreenCapture capture;
    ASSERT_TRUE(capture.initialize(0));
    EXPECT_TRUE(logs.contains("warning|XShm unavailable, capturing with XGetImage"));
    EXPECT_TRUE(logs.contains("warning|XDamage unavailable, capturing every frame"));
    auto first = capture.capture_frame();
    ASSERT_TRUE(first);
    EXPECT_EQ(at(*first, 80, 60), (Bgra{255, 128, 0, 255}));
    painter_->fill(255, 255, 255, 0, 0, 10, 10);
    auto second = capture.capture_frame();  // no change tracking: a frame every time
    ASSERT_TRUE(second);
    EXPECT_EQ(at(*second, 5, 5), (Bgra{255, 255, 255, 255}));
    capture.shutdown();
    painter_.reset();
}

TEST_F(X11Capture, MissingDisplayOrOutputIsHandled) {
    {
        unsetenv("DISPLAY");
        LogCapture logs;
        ScreenCapture capture;
        EXPECT_FALSE(capture.initialize(0));
        EXPECT_TRUE(logs.contains("error|No display outputs found"));
        EXPECT_FALSE(capture.capture_frame());
        EXPECT_TRUE(enumerate_monitors().empty());
    }
    start();
    ScreenCapture capture;
    LogCapture logs;
    ASSERT_TRUE(capture.initialize(5));  // no such output: output 0 instead, silently
    EXPECT_EQ(capture.monitor_index(), 0u);
    EXPECT_EQ(capture.width(), 320u);
    EXPECT_FALSE(logs.contains("error|"));
}

TEST_F(X11Capture, ServerGoingAwayEndsFramesWithoutEndingTheProcess) {
    start();
    ScreenCapture capture;
    ASSERT_TRUE(capture.initialize(0));
    ASSERT_TRUE(capture.capture_frame());
    painter_.reset();
    display_.reset();  // stops Xvfb
    LogCapture logs;
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(capture.capture_frame());
    EXPECT_EQ(logs.count("error|Lost the connection to the X server"), 1u);
    capture.shutdown();
    EXPECT_FALSE(capture.initialized());
}

TEST_F(X11Capture, MonitorListHasTheScreenAsPrimary) {
    start(640, 480);
    LogCapture logs;
    std::vector<MonitorInfo> monitors = enumerate_monitors();
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_EQ(monitors[0].index, 0u);
    EXPECT_EQ(monitors[0].width, 640u);
    EXPECT_EQ(monitors[0].height, 480u);
    EXPECT_EQ(monitors[0].x, 0);
    EXPECT_EQ(monitors[0].y, 0);
    EXPECT_TRUE(monitors[0].is_primary);
    EXPECT_FALSE(monitors[0].name.empty());
    EXPECT_TRUE(logs.contains("info|Monitor 0: " + monitors[0].name + " (640x480 at 0,0) [primary]\n"));
}
