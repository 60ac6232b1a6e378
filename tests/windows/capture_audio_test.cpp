// Outputs, the Direct3D device, desktop duplication or its GDI fall-back, and loopback
// audio. Under Wine duplication and loopback are not implemented: those paths are run to
// their failure, which must be logged and reported, and the test is then skipped.
#include <windows.h>

#include <d3d11.h>
#include <dxgi1_2.h>

#include <gtest/gtest.h>

#include <string>

#include "media/audio_capture.h"
#include "media/monitors.h"
#include "media/screen_capture.h"
#include "media/screen_capture_gdi.h"
#include "tests/support/log_capture.h"
#include "win_test_support.h"

namespace {

template <typename T>
struct Com {
    T* p = nullptr;
    ~Com() {
        if (p) p->Release();
    }
    void** out() { return reinterpret_cast<void**>(&p); }
    T* operator->() const { return p; }
};

TEST(WindowsOutputs, EveryAdapterOutputIsListedWithThePrimaryFlagged) {
    LogCapture log;
    const auto monitors = enumerate_monitors();
    if (monitors.empty()) GTEST_SKIP() << "no DXGI adapter with an output here";
    EXPECT_TRUE(log.contains("info|Monitor 0: ")) << log.text();
    int primaries = 0;
    for (size_t i = 0; i < monitors.size(); ++i) {
        EXPECT_EQ(monitors[i].index, i);
        EXPECT_FALSE(monitors[i].name.empty());
        EXPECT_GT(monitors[i].width, 0u);
        if (monitors[i].is_primary) {
            ++primaries;
            EXPECT_EQ(monitors[i].x, 0);
            EXPECT_EQ(monitors[i].y, 0);
            EXPECT_EQ(monitors[i].width, uint32_t(GetSystemMetrics(SM_CXSCREEN)));
            EXPECT_EQ(monitors[i].height, uint32_t(GetSystemMetrics(SM_CYSCREEN)));
        }
    }
    EXPECT_EQ(primaries, 1);
}

TEST(WindowsDuplication, DeviceAndDuplicationOfOutputZero) {
    Com<ID3D11Device> device;
    Com<ID3D11DeviceContext> context;
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 2, D3D11_SDK_VERSION,
                                   &device.p, nullptr, &context.p);
    if (FAILED(hr)) GTEST_SKIP() << "no Direct3D 11 device: " << std::hex << hr;
    Com<IDXGIDevice> dxgi;
    ASSERT_TRUE(SUCCEEDED(device->QueryInterface(__uuidof(IDXGIDevice), dxgi.out())));
    Com<IDXGIAdapter> adapter;
    ASSERT_TRUE(SUCCEEDED(dxgi->GetParent(__uuidof(IDXGIAdapter), adapter.out())));
    Com<IDXGIOutput> output;
    if (FAILED(adapter->EnumOutputs(0, &output.p))) GTEST_SKIP() << "the device's adapter has no output";
    Com<IDXGIOutput1> output1;
    ASSERT_TRUE(SUCCEEDED(output->QueryInterface(__uuidof(IDXGIOutput1), output1.out())));
    Com<IDXGIOutputDuplication> duplication;
    hr = output1->DuplicateOutput(device.p, &duplication.p);
    if (FAILED(hr)) {
        EXPECT_TRUE(duplication_unavailable(static_cast<uint32_t>(hr)) || hr == DXGI_ERROR_NOT_CURRENTLY_AVAILABLE)
            << std::hex << hr;
        GTEST_SKIP() << "desktop duplication not available here: 0x" << std::hex << static_cast<uint32_t>(hr);
    }
    DXGI_OUTDUPL_DESC desc{};
    duplication->GetDesc(&desc);
    EXPECT_GT(desc.ModeDesc.Width, 0u);
}

// A window of known colours on top of everything: left half red, right half blue.
class PaintedWindow {
public:
    static constexpr int X = 96, Y = 80, W = 240, H = 160;

    PaintedWindow() {
        right_green = false;
        WNDCLASSA wc{};
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "ZarvexPaintedWindow";
        wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32515));  // IDC_CROSS
        RegisterClassA(&wc);
        window_ = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, wc.lpszClassName, "", WS_POPUP | WS_VISIBLE, X, Y,
                                  W, H, nullptr, nullptr, wc.hInstance, nullptr);
        pump_messages(300);
    }
    ~PaintedWindow() {
        if (window_) DestroyWindow(window_);
        pump_messages(50);
    }
    bool ok() const { return window_ != nullptr; }
    // Paints the right half green instead of blue.
    void turn_right_half_green() {
        right_green = true;
        InvalidateRect(window_, nullptr, TRUE);
        UpdateWindow(window_);
        pump_messages(200);
    }

private:
    static inline bool right_green = false;
    static LRESULT CALLBACK proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_PAINT) {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(w, &ps);
            RECT left{0, 0, W / 2, H}, right{W / 2, 0, W, H};
            HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
            HBRUSH other = CreateSolidBrush(right_green ? RGB(0, 255, 0) : RGB(0, 0, 255));
            FillRect(dc, &left, red);
            FillRect(dc, &right, other);
            DeleteObject(red);
            DeleteObject(other);
            EndPaint(w, &ps);
            return 0;
        }
        if (msg == WM_ERASEBKGND) return 1;
        return DefWindowProcA(w, msg, wp, lp);
    }
    HWND window_ = nullptr;
};

// B, G, R, A at a pixel of a frame.
uint32_t bgra_at(const CapturedFrame& f, int x, int y) {
    const uint8_t* p = f.data.data() + size_t(y) * f.stride + size_t(x) * 4;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
constexpr uint32_t RED = 0x0000FFFF, BLUE = 0xFF0000FF, GREEN = 0x00FF00FF;

void expect_painted(const CapturedFrame& frame, uint32_t right_colour) {
    ASSERT_GE(frame.width, uint32_t(PaintedWindow::X + PaintedWindow::W));
    ASSERT_GE(frame.height, uint32_t(PaintedWindow::Y + PaintedWindow::H));
    ASSERT_EQ(frame.data.size(), size_t(frame.stride) * frame.height);
    const int y = PaintedWindow::Y + PaintedWindow::H / 2;
    EXPECT_EQ(bgra_at(frame, PaintedWindow::X + 10, y), RED);
    EXPECT_EQ(bgra_at(frame, PaintedWindow::X + PaintedWindow::W / 2 - 1, PaintedWindow::Y), RED);
    EXPECT_EQ(bgra_at(frame, PaintedWindow::X + PaintedWindow::W / 2, PaintedWindow::Y), right_colour);
    EXPECT_EQ(bgra_at(frame, PaintedWindow::X + PaintedWindow::W - 1, PaintedWindow::Y + PaintedWindow::H - 1),
              right_colour);
    EXPECT_NE(bgra_at(frame, PaintedWindow::X - 1, y), RED) << "the window's left edge is where it was put";
}

TEST(WindowsGdiCapture, CopiesThePaintedScreenAndOnlyChangedPictures) {
    PaintedWindow window;
    ASSERT_TRUE(window.ok());
    GdiScreenCapture gdi;
    ASSERT_TRUE(gdi.open(0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)));
    const CapturedFrame* frame = gdi.capture_changes(false);
    ASSERT_NE(frame, nullptr);
    const auto width = uint32_t(GetSystemMetrics(SM_CXSCREEN));
    const auto height = uint32_t(GetSystemMetrics(SM_CYSCREEN));
    EXPECT_EQ(frame->width, width);
    EXPECT_EQ(frame->stride, frame->width * 4);
    expect_painted(*frame, BLUE);
    ASSERT_EQ(frame->damage.size(), 1u);
    EXPECT_EQ(frame->damage[0], (DamageRect{0, 0, int32_t(width), int32_t(height)})) << "the first picture is whole";
    EXPECT_EQ(gdi.capture_changes(false), nullptr) << "nothing changed";
    frame = gdi.capture_changes(true);
    ASSERT_NE(frame, nullptr) << "asked for in full";
    EXPECT_EQ(frame->damage[0].height, int32_t(height));

    window.turn_right_half_green();
    frame = gdi.capture_changes(false);
    ASSERT_NE(frame, nullptr);
    expect_painted(*frame, GREEN);
    ASSERT_EQ(frame->damage.size(), 1u);
    // The band of the window's rows, widened to even corners.
    EXPECT_EQ(frame->damage[0].x, 0);
    EXPECT_EQ(frame->damage[0].width, int32_t(width));
    EXPECT_LE(frame->damage[0].y, PaintedWindow::Y);
    EXPECT_GE(frame->damage[0].y, PaintedWindow::Y - 1);
    EXPECT_GE(frame->damage[0].bottom(), PaintedWindow::Y + PaintedWindow::H);
    EXPECT_LE(frame->damage[0].bottom(), PaintedWindow::Y + PaintedWindow::H + 1);

    // An area that does not start at the origin.
    ASSERT_TRUE(gdi.open(PaintedWindow::X, PaintedWindow::Y, 20, 10));
    frame = gdi.capture_changes(false);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 20u);
    EXPECT_EQ(bgra_at(*frame, 0, 0), RED);
    EXPECT_EQ(bgra_at(*frame, 19, 9), RED);
}

TEST(WindowsGdiCapture, PointerPositionVisibilityAndShape) {
    PaintedWindow window;  // its class pointer is the cross
    ASSERT_TRUE(window.ok());
    GdiScreenCapture gdi;
    ASSERT_TRUE(gdi.open(50, 40, 400, 300));
    ASSERT_TRUE(SetCursorPos(PaintedWindow::X + 30, PaintedWindow::Y + 20));
    pump_messages(200);
    GdiPointerUpdate first = gdi.poll_pointer();
    EXPECT_TRUE(first.moved);
    EXPECT_EQ(first.x, PaintedWindow::X + 30 - 50);
    EXPECT_EQ(first.y, PaintedWindow::Y + 20 - 40);
    GdiPointerUpdate still = gdi.poll_pointer();
    EXPECT_FALSE(still.moved);
    EXPECT_FALSE(still.shape) << "the shape is fetched once per pointer handle";
    if (!first.visible || !first.shape) GTEST_SKIP() << "the system reports no pointer shape here";
    EXPECT_GT(first.shape->width, 0u);
    EXPECT_GT(first.shape->height, 0u);
    EXPECT_EQ(first.shape->rgba.size(), size_t(first.shape->width) * first.shape->height * 4);
    EXPECT_FALSE(cursor_is_blank(*first.shape));
    EXPECT_LT(uint32_t(first.hotspot_x), first.shape->width);
    EXPECT_LT(uint32_t(first.hotspot_y), first.shape->height);
}

TEST(WindowsScreenCapture, InitializesOnOutputZeroWithDuplicationOrGdi) {
    PaintedWindow window;
    ASSERT_TRUE(window.ok());
    LogCapture log;
    ScreenCapture capture;
    if (!capture.initialize(0)) {
        EXPECT_TRUE(log.contains("error|")) << "a refusal is logged";
        GTEST_SKIP() << "no capture here: " << log.text();
    }
    EXPECT_EQ(capture.monitor_index(), 0u);
    EXPECT_EQ(capture.width(), uint32_t(GetSystemMetrics(SM_CXSCREEN)));
    const bool gdi = log.contains("warning|Desktop duplication unavailable");
    if (under_wine()) {
        EXPECT_TRUE(gdi) << log.text();
        EXPECT_EQ(log.count("warning|"), 1u) << log.text();
        EXPECT_TRUE(log.contains("0x80004001")) << log.text();
    }
    std::optional<CapturedFrame> frame;
    for (int i = 0; i < 30 && !frame; ++i) frame = capture.capture_frame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, capture.width());
    expect_painted(*frame, BLUE);
    if (gdi) {
        EXPECT_FALSE(capture.capture_frame()) << "an unchanged screen gives no frame";
        SetCursorPos(PaintedWindow::X + 5, PaintedWindow::Y + 6);
        pump_messages(100);
        capture.clear_cursor_dirty();
        capture.capture_frame();
        EXPECT_TRUE(capture.cursor_dirty);
        EXPECT_EQ(capture.cursor_x, PaintedWindow::X + 5);
        EXPECT_EQ(capture.cursor_y, PaintedWindow::Y + 6);
    }
    capture.shutdown();
    EXPECT_FALSE(capture.initialized());
    EXPECT_FALSE(capture.capture_frame());
}

TEST(WindowsAudio, LoopbackCapturesOrFailsWithItsErrorLine) {
    LogCapture log;
    AudioCapture audio;
    if (!audio.initialize()) {
        EXPECT_EQ(log.count("error|"), 1u) << log.text();
        EXPECT_FALSE(audio.running());
        audio.start([](const std::vector<uint8_t>&, uint32_t, uint16_t) {});
        EXPECT_FALSE(audio.running()) << "not started after a failed initialize";
        audio.stop();
        GTEST_SKIP() << "no loopback capture here: " << log.text();
    }
    EXPECT_TRUE(log.contains("Audio capture initialized")) << log.text();
    EXPECT_GT(audio.sample_rate(), 0u);
    EXPECT_GT(audio.channels(), 0u);
    audio.start([](const std::vector<uint8_t>&, uint32_t, uint16_t) {});
    EXPECT_TRUE(audio.running());
    Sleep(200);
    audio.stop();
    EXPECT_FALSE(audio.running());
}

}  // namespace
