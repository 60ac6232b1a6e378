#pragma once

// GTK start-up and display watch for the Linux tray, kept apart from Xlib's macros.

#include <functional>
#include <string>

// Initialises GTK on the calling thread (the tray thread) without touching the process
// locale or the X error handlers the rest of the agent installed. A broken X connection
// of GTK's never ends the process: it is only marked (tray_display_lost). False with the
// reason when there is no display.
bool tray_gtk_init(std::string& why);

// Calls on_lost on the tray thread if GTK's X connection breaks; empty stops watching.
void tray_watch_display(std::function<void()> on_lost);

// True once GTK's X connection broke; GTK must not be used after that.
bool tray_display_lost();
