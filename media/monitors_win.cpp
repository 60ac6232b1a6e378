// Windows output list: every output of every DXGI adapter.

#include <dxgi.h>
#include <windows.h>

#include "media/monitors.h"

namespace {

std::string utf8_device_name(const WCHAR* wide) {
    char buffer[128] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, buffer, sizeof(buffer), nullptr, nullptr);
    buffer[sizeof(buffer) - 1] = '\0';
    return std::string(buffer);
}

}  // namespace

std::vector<MonitorInfo> enumerate_monitors() {
    std::vector<MonitorInfo> monitors;
    IDXGIFactory1* factory = nullptr;
    if (FAILED(CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&factory)))) return monitors;

    IDXGIAdapter* adapter = nullptr;
    // Any failure ends a loop, "not found" being the ordinary end: a failing index must not
    // be retried forever.
    for (UINT a = 0; SUCCEEDED(factory->EnumAdapters(a, &adapter)) && adapter != nullptr; ++a) {
        IDXGIOutput* output = nullptr;
        for (UINT o = 0; SUCCEEDED(adapter->EnumOutputs(o, &output)) && output != nullptr; ++o) {
            DXGI_OUTPUT_DESC desc{};
            if (SUCCEEDED(output->GetDesc(&desc))) {
                const RECT& r = desc.DesktopCoordinates;
                MonitorInfo monitor;
                monitor.index = static_cast<uint32_t>(monitors.size());
                monitor.name = utf8_device_name(desc.DeviceName);
                monitor.width = static_cast<uint32_t>(r.right - r.left);
                monitor.height = static_cast<uint32_t>(r.bottom - r.top);
                monitor.x = r.left;
                monitor.y = r.top;
                monitor.is_primary = is_primary_position(r.left, r.top);
                log_monitor(monitor);
                monitors.push_back(monitor);
            }
            output->Release();
            output = nullptr;
        }
        adapter->Release();
        adapter = nullptr;
    }
    factory->Release();
    return monitors;
}
