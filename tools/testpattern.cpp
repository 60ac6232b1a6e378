// zarvex-testpattern: paints a full-screen test picture on an X display, for the demo,
// the end-to-end tests and the pipeline benchmark.
//   --static         four known colour blocks on grey, drawn once (see below)
//   --moving         colour bars that scroll and a bouncing white box (default)
//   --fps N          repaint rate for --moving (default 30)
//   --seconds N      exit after N seconds (default: run until killed)
// Static layout on a W x H screen: grey (128,128,128) background; red (255,0,0) at
// [W/8, 3W/8) x [H/8, 3H/8); green (0,255,0) right of it at [5W/8, 7W/8) x [H/8, 3H/8);
// blue (0,0,255) at [W/8, 3W/8) x [5H/8, 7H/8); white (255,255,255) at [5W/8, 7W/8) x [5H/8, 7H/8).
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <thread>

namespace {

unsigned long rgb(unsigned r, unsigned g, unsigned b) { return (r << 16) | (g << 8) | b; }

void fill(Display* d, Window w, GC gc, unsigned long colour, int x, int y, int wd, int ht) {
    XSetForeground(d, gc, colour);
    XFillRectangle(d, w, gc, x, y, static_cast<unsigned>(wd), static_cast<unsigned>(ht));
}

void draw_static(Display* d, Window w, GC gc, int W, int H) {
    fill(d, w, gc, rgb(128, 128, 128), 0, 0, W, H);
    fill(d, w, gc, rgb(255, 0, 0), W / 8, H / 8, W / 4, H / 4);
    fill(d, w, gc, rgb(0, 255, 0), 5 * W / 8, H / 8, W / 4, H / 4);
    fill(d, w, gc, rgb(0, 0, 255), W / 8, 5 * H / 8, W / 4, H / 4);
    fill(d, w, gc, rgb(255, 255, 255), 5 * W / 8, 5 * H / 8, W / 4, H / 4);
}

void draw_moving(Display* d, Window w, GC gc, int W, int H, int t) {
    static const unsigned long bars[] = {rgb(192, 192, 192), rgb(192, 192, 0), rgb(0, 192, 192), rgb(0, 192, 0),
                                         rgb(192, 0, 192),   rgb(192, 0, 0),   rgb(0, 0, 192)};
    int n = 7, bw = W / n + 1, shift = (t * 4) % W;
    for (int i = 0; i < n + 1; ++i) fill(d, w, gc, bars[i % n], i * bw - shift, 0, bw, H);
    for (int i = 0; i < n + 1; ++i) fill(d, w, gc, bars[i % n], W + i * bw - shift, 0, bw, H);
    int size = H / 6, range_x = W - size, range_y = H - size;
    int x = (t * 7) % (2 * range_x), y = (t * 5) % (2 * range_y);
    if (x > range_x) x = 2 * range_x - x;
    if (y > range_y) y = 2 * range_y - y;
    fill(d, w, gc, rgb(255, 255, 255), x, y, size, size);
}

}  // namespace

int main(int argc, char** argv) {
    bool moving = true;
    int fps = 30;
    double seconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--static")) moving = false;
        else if (!std::strcmp(argv[i], "--moving")) moving = true;
        else if (!std::strcmp(argv[i], "--fps") && i + 1 < argc) fps = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--static|--moving] [--fps N] [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "zarvex-testpattern: cannot open display\n");
        return 1;
    }
    int screen = DefaultScreen(d);
    int W = DisplayWidth(d, screen), H = DisplayHeight(d, screen);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = rgb(128, 128, 128);
    Window w = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(W), static_cast<unsigned>(H), 0,
                             CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
    XSelectInput(d, w, ExposureMask);
    XMapRaised(d, w);
    GC gc = XCreateGC(d, w, 0, nullptr);
    XSync(d, False);

    auto start = std::chrono::steady_clock::now();
    auto period = std::chrono::microseconds(1000000 / fps);
    auto next = start;
    for (int t = 0;; ++t) {
        while (XPending(d)) {
            XEvent ev;
            XNextEvent(d, &ev);
            if (ev.type == Expose && !moving) draw_static(d, w, gc, W, H);
        }
        if (moving) draw_moving(d, w, gc, W, H, t);
        else if (t == 0) draw_static(d, w, gc, W, H);
        XSync(d, False);
        if (t == 0) {
            std::printf("ready %dx%d\n", W, H);
            std::fflush(stdout);
        }
        if (seconds > 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(seconds)) break;
        next += moving ? period : std::chrono::microseconds(100000);
        std::this_thread::sleep_until(next);
    }
    XCloseDisplay(d);
    return 0;
}
