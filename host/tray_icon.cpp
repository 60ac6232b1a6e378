#include "host/tray_icon.h"

std::string tray_tooltip_text(const std::string& status) { return status.substr(0, 127); }
void run_tray_command(int, const std::string&, const std::function<void()>&) {}
