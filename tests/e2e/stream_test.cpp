// The video stream end to end on Xvfb: the first picture a viewer gets, keyframes on
// request and on re-key, pictures built from changed rectangles only, a stalled uplink,
// and a resized screen.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "media/video_stream.h"
#include "net/ws_client.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/e2e/throttle_proxy.h"
#include "tests/support/sanitizer.h"
#include "viewer/video_decoder.h"

// After gtest: Xlib's macros (None, Bool, Status) clash with its names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// A viewer that decodes every picture as it arrives and remembers what it saw.
class DecodingViewer {
public:
    // The connection's thread calls into the members below: stop it before they go.
    ~DecodingViewer() { session.close(); }

    bool join(const Rig& rig) {
        ViewerHandlers h;
        h.on_video = [this](const VideoFrameMsg& m) {
            std::lock_guard<std::mutex> lock(mutex_);
            keyframes_.push_back(m.keyframe);
            arrivals_.push_back(std::chrono::steady_clock::now());
            sizes_.push_back({m.width, m.height});
            ages_us_.push_back(static_cast<int64_t>(monotonic_us()) - static_cast<int64_t>(m.timestamp_us));
            if (!decoder_.decode(m.data, m.width, m.height)) ++decode_errors_;
        };
        session.set_handlers(h);
        ViewerOptions o;
        o.server_url = rig.server_url();
        o.machine_id = rig.machine_id();
        o.token = rig.token();
        return session.connect(o) && session.wait_ready(15s);
    }
    size_t videos() {
        std::lock_guard<std::mutex> lock(mutex_);
        return keyframes_.size();
    }
    std::vector<bool> keyframes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return keyframes_;
    }
    std::pair<uint16_t, uint16_t> last_size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_.empty() ? std::pair<uint16_t, uint16_t>{0, 0} : sizes_.back();
    }
    // Whether the first message of that size from index `from` on was a keyframe.
    bool first_of_size_is_keyframe(uint16_t w, uint16_t h, size_t from) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = from; i < sizes_.size(); ++i)
            if (sizes_[i] == std::pair<uint16_t, uint16_t>{w, h}) return keyframes_[i];
        return false;
    }
    int decode_errors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return decode_errors_;
    }
    uint64_t pictures() {
        std::lock_guard<std::mutex> lock(mutex_);
        return decoder_.picture_count();
    }
    DecodedPicture picture() {
        std::lock_guard<std::mutex> lock(mutex_);
        return decoder_.picture();
    }
    size_t keyframes_since(size_t from) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (size_t i = from; i < keyframes_.size(); ++i) n += keyframes_[i] ? 1 : 0;
        return n;
    }
    // Waits until no picture has come for `quiet` (the stream has settled).
    bool settle(std::chrono::milliseconds quiet = 600ms, std::chrono::milliseconds limit = 10s) {
        auto end = std::chrono::steady_clock::now() + limit;
        size_t seen = videos();
        auto last_change = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(50ms);
            size_t now = videos();
            if (now != seen) {
                seen = now;
                last_change = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - last_change >= quiet) {
                return true;
            }
        }
        return false;
    }

    ViewerSession session;

private:
    std::mutex mutex_;
    VideoDecoder decoder_{PictureFormat::Bgra};
    std::vector<bool> keyframes_;
    std::vector<std::pair<uint16_t, uint16_t>> sizes_;
    std::vector<int64_t> ages_us_;
    int decode_errors_ = 0;
    std::vector<std::chrono::steady_clock::time_point> arrivals_;

public:
    // Longest time without a picture between from and to, and the pictures in between.
    std::pair<std::chrono::milliseconds, size_t> longest_gap(std::chrono::steady_clock::time_point from,
                                                             std::chrono::steady_clock::time_point to) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto last = from;
        std::chrono::steady_clock::duration longest{};
        size_t count = 0;
        for (auto at : arrivals_) {
            if (at < from || at > to) continue;
            longest = std::max(longest, at - last);
            last = at;
            ++count;
        }
        longest = std::max(longest, to - last);
        return {std::chrono::duration_cast<std::chrono::milliseconds>(longest), count};
    }
};

// A grey full-screen window on the rig's display that tests paint into, and the screen
// as the X server has it.
class TestScreen {
public:
    ~TestScreen() {
        if (display_ && gc_) XFreeGC(display_, gc_);
        if (display_) XCloseDisplay(display_);
    }
    bool open(const std::string& name) {
        display_ = XOpenDisplay(name.c_str());
        if (!display_) return false;
        int screen = DefaultScreen(display_);
        width_ = DisplayWidth(display_, screen);
        height_ = DisplayHeight(display_, screen);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        attrs.background_pixel = 0x808080;
        window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, static_cast<unsigned>(width_),
                                static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWBackPixel, &attrs);
        gc_ = XCreateGC(display_, window_, 0, nullptr);
        XMapRaised(display_, window_);
        XSync(display_, False);
        std::this_thread::sleep_for(100ms);
        fill({0, 0, width_, height_}, 0x808080);
        return true;
    }
    void fill(const DamageRect& r, unsigned long rgb) {
        XSetForeground(display_, gc_, rgb);
        XFillRectangle(display_, window_, gc_, r.x, r.y, static_cast<unsigned>(r.width),
                       static_cast<unsigned>(r.height));
        XSync(display_, False);
    }
    // Mean channel difference between a decoded picture and the screen inside r.
    double difference(const DecodedPicture& picture, const DamageRect& r) {
        XImage* image = XGetImage(display_, window_, r.x, r.y, static_cast<unsigned>(r.width),
                                  static_cast<unsigned>(r.height), AllPlanes, ZPixmap);
        if (!image || picture.width < static_cast<uint32_t>(r.right()) ||
            picture.height < static_cast<uint32_t>(r.bottom()))
            return 1e9;
        double sum = 0;
        for (int y = 0; y < r.height; ++y)
            for (int x = 0; x < r.width; ++x) {
                unsigned long px = XGetPixel(image, x, y);
                const uint8_t* d = picture.pixels.data() + static_cast<size_t>(r.y + y) * picture.stride +
                                   static_cast<size_t>(r.x + x) * 4;
                sum += std::abs(int(d[2]) - int((px >> 16) & 0xFF)) + std::abs(int(d[1]) - int((px >> 8) & 0xFF)) +
                       std::abs(int(d[0]) - int(px & 0xFF));
            }
        XDestroyImage(image);
        return sum / (3.0 * r.width * r.height);
    }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    Display* display_ = nullptr;
    Window window_ = 0;
    GC gc_ = nullptr;
    int width_ = 0, height_ = 0;
};

class StreamTest : public ::testing::Test {
protected:
    Rig rig;
};

}  // namespace

TEST_F(StreamTest, StillScreenJoinGetsAPictureAndLaterViewersStartWithAKeyframe) {
    ASSERT_TRUE(rig.start_system(640, 360)) << rig.error();
    TestScreen screen;
    ASSERT_TRUE(screen.open(rig.display()));
    screen.fill({40, 40, 200, 100}, 0xD02020);
    screen.fill({400, 200, 160, 120}, 0x20C040);
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    std::this_thread::sleep_for(1s);  // nothing changes from here on

    DecodingViewer first;
    ASSERT_TRUE(first.join(rig)) << first.session.last_error();
    ASSERT_TRUE(wait_until([&] { return first.pictures() >= 1; }, 5s)) << "a still screen must still give a picture";
    ASSERT_TRUE(first.keyframes().front());
    DecodedPicture picture = first.picture();
    EXPECT_LT(screen.difference(picture, {0, 0, 640, 360}), 4.0);
    EXPECT_LT(screen.difference(picture, {40, 40, 200, 100}), 8.0);

    // Mid-stream: the screen keeps changing while a second viewer joins.
    std::atomic<bool> moving{true};
    std::thread painter([&] {
        for (int i = 0; moving; ++i) {
            screen.fill({(i * 7) % 600, 300, 40, 40}, 0x101010 * static_cast<unsigned long>(i % 15 + 1));
            std::this_thread::sleep_for(20ms);
        }
    });
    ASSERT_TRUE(wait_until([&] { return first.videos() >= 10; }, 10s));
    DecodingViewer second;
    ASSERT_TRUE(second.join(rig));
    ASSERT_TRUE(wait_until([&] { return second.videos() >= 5; }, 10s));
    moving = false;
    painter.join();
    EXPECT_TRUE(second.keyframes().front()) << "the first video message of a new viewer must be a keyframe";
    EXPECT_EQ(second.decode_errors(), 0);
    EXPECT_EQ(first.decode_errors(), 0);
    EXPECT_GE(second.pictures(), 5u);
}

TEST_F(StreamTest, KeyframeRequestsAreAnsweredAndCoalesced) {
    ASSERT_TRUE(rig.start_system(640, 360)) << rig.error();
    TestScreen screen;
    ASSERT_TRUE(screen.open(rig.display()));
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    DecodingViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    ASSERT_TRUE(wait_until([&] { return viewer.videos() >= 1; }, 5s));
    ASSERT_TRUE(viewer.settle());

    // One request, one keyframe, on a screen that does not change.
    size_t before = viewer.videos();
    ASSERT_TRUE(viewer.session.send(build_keyframe_request()));
    ASSERT_TRUE(wait_until([&] { return viewer.videos() > before; }, 3s));
    ASSERT_TRUE(viewer.settle());
    EXPECT_EQ(viewer.videos(), before + 1);
    EXPECT_EQ(viewer.keyframes_since(before), 1u);

    // A burst: 50 requests in about half a second give at most one keyframe per 250 ms
    // (plus the one that answers the last requests).
    std::this_thread::sleep_for(300ms);
    before = viewer.videos();
    const auto burst_start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(viewer.session.send(build_keyframe_request()));
        std::this_thread::sleep_for(10ms);
    }
    const double burst_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - burst_start).count();
    ASSERT_TRUE(viewer.settle());
    const size_t allowed = static_cast<size_t>(burst_ms / 250.0) + 2;
    EXPECT_GE(viewer.keyframes_since(before), 1u);
    EXPECT_LE(viewer.keyframes_since(before), allowed) << "burst of " << burst_ms << " ms";
    EXPECT_EQ(viewer.decode_errors(), 0);
}

// Small changes at even and odd places and against the right and bottom edges of an odd
// sized screen: the viewer's picture matches the screen although only those rectangles
// were fetched and converted.
TEST_F(StreamTest, ChangedRectanglesDecodeLikeTheScreen) {
    ASSERT_TRUE(rig.start_system(641, 361)) << rig.error();
    TestScreen screen;
    ASSERT_TRUE(screen.open(rig.display()));
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    DecodingViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    ASSERT_TRUE(wait_until([&] { return viewer.videos() >= 1; }, 5s));
    ASSERT_TRUE(viewer.settle());

    const std::vector<std::vector<DamageRect>> steps = {
        {{101, 57, 33, 21}},                                  // one small one, odd corners
        {{10, 10, 8, 8}, {600, 300, 41, 61}},                 // two far apart, the second at both edges
        {{640, 0, 1, 361}, {0, 360, 641, 1}},                 // the last column and the last row
        {{201, 101, 1, 1}, {320, 180, 2, 2}},                 // single pixels
    };
    // Grey levels: a one-pixel detail keeps its luma through 4:2:0, not its colour.
    const unsigned long shades[] = {0xE0E0E0, 0x202020, 0xFFFFFF, 0x000000};
    size_t step = 0;
    for (const auto& rects : steps) {
        const size_t before = viewer.videos();
        for (const DamageRect& r : rects) screen.fill(r, shades[step++ % 4]);
        ASSERT_TRUE(wait_until([&] { return viewer.videos() > before; }, 3s));
        ASSERT_TRUE(viewer.settle());
        DecodedPicture picture = viewer.picture();
        for (const DamageRect& r : rects)
            EXPECT_LT(screen.difference(picture, r), 24.0) << r.x << "," << r.y << " " << r.width << "x" << r.height;
        EXPECT_LT(screen.difference(picture, {0, 0, 641, 361}), 4.0);
    }
    EXPECT_EQ(viewer.decode_errors(), 0);
    EXPECT_EQ(viewer.keyframes_since(0), 1u) << "changes go out as delta pictures";
}

namespace {

// The agent's streaming loop run in this process on the agent's own classes, so that a
// test can read what the relay connection holds queued.
class InProcessAgent {
public:
    ~InProcessAgent() { stop(); }

    bool start(const Rig& rig, int relay_port, uint32_t fps = 30, uint32_t kbps = 4000) {
        setenv("DISPLAY", rig.display().c_str(), 1);
        if (!capture_.initialize(0)) return false;
        encoder_ = create_encoder(capture_.width(), capture_.height(), fps, kbps);
        if (!encoder_) return false;
        stream_ = std::make_unique<VideoStream>(capture_, encoder_, requests_, fps, kbps);
        ws_.set_message_handler([this](const std::string&, const std::vector<uint8_t>& m) {
            if (!m.empty() && m[0] == static_cast<uint8_t>(MessageType::KeyframeRequest)) requests_.request_keyframe();
        });
        if (!ws_.connect("http://127.0.0.1:" + std::to_string(relay_port), rig.machine_id(), rig.token()))
            return false;
        interval_ = std::chrono::microseconds(1000000 / fps);
        running_ = true;
        thread_ = std::thread([this] { loop(); });
        return true;
    }
    void stop() {
        if (running_.exchange(false)) thread_.join();
        ws_.disconnect();
    }
    size_t max_queued() const { return max_queued_.load(); }
    void reset_max_queued() { max_queued_ = 0; }
    uint64_t held_steps() const { return held_.load(); }

private:
    void loop() {
        VideoSink sink;
        sink.send = [this](const std::vector<uint8_t>& m, bool key) { return ws_.send_video_to_all(m, key); };
        sink.queued_bytes = [this] { return ws_.queued_bytes(); };
        sink.sent_bytes = [this] { return ws_.sent_bytes(); };
        uint64_t generation = 0;
        auto deadline = std::chrono::steady_clock::now();
        while (running_) {
            deadline += interval_;
            if (ws_.has_ready_session()) {
                if (ws_.ready_generation() != generation) {
                    generation = ws_.ready_generation();
                    stream_->force_keyframe();
                }
                stream_->step(sink, 10);
                held_ = stream_->held_steps();
            }
            size_t queued = ws_.queued_bytes();
            if (queued > max_queued_) max_queued_ = queued;
            std::this_thread::sleep_until(deadline);
        }
    }

    ScreenCapture capture_;
    std::unique_ptr<IEncoder> encoder_;
    StreamRequests requests_;
    std::unique_ptr<VideoStream> stream_;
    WsClient ws_;
    std::chrono::microseconds interval_{33333};
    std::atomic<bool> running_{false};
    std::atomic<size_t> max_queued_{0};
    std::atomic<uint64_t> held_{0};
    std::thread thread_;
};

}  // namespace

// The uplink stops for 3 s: the agent holds pictures back instead of queueing them, and
// the viewer decodes every picture, before, during and after, without a gap in the
// envelope counter.
TEST_F(StreamTest, StalledUplinkHoldsPicturesBackAndNeverBreaksDecoding) {
    ASSERT_TRUE(rig.start_system(1280, 720)) << rig.error();
    ASSERT_TRUE(rig.start_pattern("--moving"));
    ThrottleProxy uplink;
    ASSERT_TRUE(uplink.start(rig.port()));
    InProcessAgent agent;
    ASSERT_TRUE(agent.start(rig, uplink.port()));
    DecodingViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    ASSERT_TRUE(wait_until([&] { return viewer.videos() >= 30; }, 10s));

    agent.reset_max_queued();
    uplink.pause(true);
    std::this_thread::sleep_for(3s);
    const size_t queued_while_stalled = agent.max_queued();
    const uint64_t held = agent.held_steps();
    const size_t during = viewer.videos();
    uplink.pause(false);
    ASSERT_TRUE(wait_until([&] { return viewer.videos() >= during + 30; }, 10s));

    std::printf("stalled 3 s: %llu steps held, at most %zu bytes queued, %zu pictures before\n",
                static_cast<unsigned long long>(held), queued_while_stalled, during);
    EXPECT_GT(held, 0u) << "the loop must hold back while the uplink is stalled";
    // The stream stops at about 250 ms of video at the bit rate, less once it sees the
    // link take nothing; the queue can pass that by the one picture added last.
    EXPECT_LT(queued_while_stalled, send_backlog_limit(4000, 0) + 100u * 1024);
    EXPECT_EQ(viewer.decode_errors(), 0);
    EXPECT_EQ(viewer.session.lost_messages(), 0u);
    EXPECT_EQ(viewer.session.keyframe_requests(), 0u);
}

namespace {

// A nested X server whose screen can be resized with xrandr (Xvfb's cannot).
class ResizableDisplay {
public:
    bool start(const std::string& host_display, const std::string& size) {
        for (int n = 300 + std::rand() % 300, tries = 0; tries < 20; ++n, ++tries) {
            name_ = ":" + std::to_string(n);
            if (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) == 0) continue;
            if (!server_.start({"Xephyr", name_, "-screen", size, "-resizeable", "-nolisten", "tcp", "+extension",
                                "RANDR"},
                               {{"DISPLAY", host_display}}))
                return false;
            if (wait_until([&] { return access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) == 0; }, 5s))
                return true;
            server_.stop();
        }
        return false;
    }
    const std::string& name() const { return name_; }

private:
    Process server_;
    std::string name_;
};

}  // namespace

// A wider but shorter screen, then a narrower but taller one: each new size arrives as a keyframe
// of that size, which decodes.
TEST_F(StreamTest, ResizedScreenGivesAKeyframeOfTheNewSize) {
    if (access("/usr/bin/Xephyr", X_OK) != 0) GTEST_SKIP() << "needs Xephyr (xserver-xephyr)";
    ASSERT_TRUE(rig.start_system(800, 800)) << rig.error();
    ResizableDisplay nested;
    ASSERT_TRUE(nested.start(rig.display(), "640x480"));
    ASSERT_TRUE(rig.start_agent({{"DISPLAY", nested.name()}})) << rig.error();
    DecodingViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    ASSERT_TRUE(wait_until([&] { return viewer.pictures() >= 1; }, 5s));
    EXPECT_EQ(viewer.last_size(), (std::pair<uint16_t, uint16_t>{640, 480}));

    // Wider but shorter, then narrower but taller (sizes Xephyr offers).
    for (const auto& wh : {std::pair<uint16_t, uint16_t>{720, 400}, std::pair<uint16_t, uint16_t>{480, 640}}) {
        const uint16_t w = wh.first, h = wh.second;  // named, not bound: lambdas below capture them
        const size_t before = viewer.videos();
        const std::string size = std::to_string(w) + "x" + std::to_string(h);
        run_command({"xrandr", "-s", size}, nested.name());
        ASSERT_TRUE(wait_until([&] { return viewer.last_size() == std::pair<uint16_t, uint16_t>{w, h}; }, 5s))
            << size;
        ASSERT_TRUE(wait_until([&] { return viewer.picture().width == w; }, 5s)) << size;
        EXPECT_TRUE(viewer.first_of_size_is_keyframe(w, h, before)) << size;
        DecodedPicture picture = viewer.picture();
        EXPECT_EQ(picture.width, w);
        EXPECT_EQ(picture.height, h);
    }
    EXPECT_EQ(viewer.decode_errors(), 0);
    EXPECT_TRUE(rig.agent().running());
}

// A viewer's clipboard text that has to wait for a stalled X client (one that started to
// read a large selection from the agent and stopped) holds up only that viewer's
// messages: another viewer's video keeps coming.
TEST_F(StreamTest, ClipboardWaitingOnAStalledClientDoesNotStopAnotherViewersVideo) {
    ASSERT_TRUE(rig.start_system(640, 360)) << rig.error();
    ASSERT_TRUE(rig.start_pattern("--moving"));
    ASSERT_TRUE(rig.start_agent()) << rig.error();
    DecodingViewer watcher, sender;
    ASSERT_TRUE(watcher.join(rig));
    ASSERT_TRUE(sender.join(rig));
    ASSERT_TRUE(wait_until([&] { return watcher.videos() >= 20; }, 10s));

    ASSERT_TRUE(sender.session.send_clipboard(std::string(4u << 20, 'x')));
    std::this_thread::sleep_for(1500ms);  // the agent now owns the selection
    Process reader;
    ASSERT_TRUE(reader.start({"/usr/bin/xclip", "-o", "-selection", "clipboard"}, {{"DISPLAY", rig.display()}}));
    std::this_thread::sleep_for(100ms);
    reader.signal(SIGSTOP);

    const auto from = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(sender.session.send_clipboard("text " + std::to_string(i)));
    std::this_thread::sleep_for(3s);
    auto [gap, pictures] = watcher.longest_gap(from, std::chrono::steady_clock::now());
    reader.signal(SIGCONT);
    reader.stop();
    EXPECT_GE(pictures, 20u);
    EXPECT_LT(gap.count(), 700 * kSanitizerSlowdown) << "video stopped while a clipboard text waited";
    EXPECT_EQ(watcher.decode_errors(), 0);
}
