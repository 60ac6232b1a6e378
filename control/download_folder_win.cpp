#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <filesystem>
#include <string>

#include <spdlog/spdlog.h>

#include "control/file_receiver.h"

// The user's known Downloads folder plus "\Vantor"; "C:\Temp" when the shell does not know it.
std::string download_folder() {
    PWSTR wide = nullptr;
    HRESULT hr = SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &wide);
    std::string folder;
    if (SUCCEEDED(hr) && wide) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
        if (size > 1) {
            folder.resize(static_cast<size_t>(size));
            WideCharToMultiByte(CP_UTF8, 0, wide, -1, folder.data(), size, nullptr, nullptr);
            folder.resize(static_cast<size_t>(size) - 1);
        }
    }
    CoTaskMemFree(wide);
    if (folder.empty()) {
        spdlog::default_logger_raw()->warn("Downloads folder not known (0x{:08X}), using C:\\Temp",
                                           static_cast<unsigned long>(hr));
        return "C:\\Temp";
    }
    folder += "\\Vantor";
    std::filesystem::create_directories(upload_names::to_path(folder));
    return folder;
}
