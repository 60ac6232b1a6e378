#include "host/tray_icon.h"

TrayIcon::~TrayIcon() { stop(); }
bool TrayIcon::start(CommandCallback) { return true; }
void TrayIcon::set_status(const std::string&) {}
void TrayIcon::show_balloon(const std::string&, const std::string&) {}
void TrayIcon::stop() {}
void shell_open(const std::string&) {}
