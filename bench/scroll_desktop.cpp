// A small-change desktop for the benchmarks: a grey screen with a "terminal" in its
// top-left quarter whose text scrolls by one line per repaint, like a busy shell.
//
//   scroll_desktop [--fps N]      prints "ready" once the first picture is up
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    int fps = 30;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--fps") && i + 1 < argc) fps = std::max(1, std::atoi(argv[++i]));
    }
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "scroll_desktop: cannot open the display\n");
        return 1;
    }
    const int screen = DefaultScreen(d);
    const int W = DisplayWidth(d, screen), H = DisplayHeight(d, screen);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = 0x5A6470;
    Window w = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(W), static_cast<unsigned>(H), 0,
                             CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
    GC gc = XCreateGC(d, w, 0, nullptr);
    XSetGraphicsExposures(d, gc, False);  // nobody reads the events
    XMapRaised(d, w);
    XSync(d, False);

    const int tw = W / 2, th = H / 2, line = 14;
    XSetForeground(d, gc, 0x101010);
    XFillRectangle(d, w, gc, 0, 0, static_cast<unsigned>(tw), static_cast<unsigned>(th));
    XSync(d, False);
    std::printf("ready\n");
    std::fflush(stdout);

    const auto period = std::chrono::microseconds(1000000 / fps);
    auto next = std::chrono::steady_clock::now();
    for (unsigned long n = 0;; ++n) {
        // Scroll the terminal up one line and write a new one at the bottom.
        XCopyArea(d, w, w, gc, 0, line, static_cast<unsigned>(tw), static_cast<unsigned>(th - line), 0, 0);
        XSetForeground(d, gc, 0x101010);
        XFillRectangle(d, w, gc, 0, th - line, static_cast<unsigned>(tw), static_cast<unsigned>(line));
        XSetForeground(d, gc, 0x40E040);
        std::string text = "user@host:~$ build step " + std::to_string(n) + " of a long compile, object " +
                           std::to_string(n * 7919 % 100000) + ".o done";
        XDrawString(d, w, gc, 4, th - 3, text.c_str(), static_cast<int>(text.size()));
        XFlush(d);
        next += period;
        std::this_thread::sleep_until(next);
    }
}
