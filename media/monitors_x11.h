#pragma once

// X11 pieces shared by enumerate_monitors and the X11 screen capture, so that both count
// outputs the same way and survive X errors alike. Only X11 backend files include this.

#include <X11/Xlib.h>

#include <vector>

#include "media/monitors.h"

// The active XRandR monitors of the display's default screen in the server's order, or the
// whole root window as a single output when XRandR has none to offer. The one at the
// desktop origin is primary. Does not log.
std::vector<MonitorInfo> list_x11_monitors(Display* display);

// Makes X protocol errors non-fatal for the whole process: Xlib's default handler ends the
// program, this one counts the error and returns. A broken connection is only reported
// by the process-wide handler; it still ends the process unless the connection has an
// exit handler of its own (XSetIOErrorExitHandler), which every connection of the agent
// sets. Idempotent.
void install_x11_error_handler();

// Number of X protocol errors seen since the handler was installed. Compare before and
// after XSync to learn whether the requests in between failed.
unsigned long x11_error_count();
