#include "win_test_support.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

std::string module_dir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string full(path, n);
    return full.substr(0, full.find_last_of("\\/"));
}

bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {

void drain(HANDLE pipe, std::string& into) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) into.append(buffer, n);
}

}  // namespace

ChildResult run_child(const std::string& command_line, DWORD timeout_ms) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return result;
    if (!CreatePipe(&err_read, &err_write, &inherit, 0)) {
        CloseHandle(out_read);
        CloseHandle(out_write);
        return result;
    }
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION process{};
    std::string line = command_line;
    const BOOL created =
        CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (created) {
        std::thread out_reader(drain, out_read, std::ref(result.out));
        std::thread err_reader(drain, err_read, std::ref(result.err));
        result.finished = WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0;
        if (!result.finished) TerminateProcess(process.hProcess, 255);
        WaitForSingleObject(process.hProcess, 5000);
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        out_reader.join();
        err_reader.join();
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out_read);
    CloseHandle(err_read);
    return result;
}

std::string unix_path(const std::string& windows_path) {
    using ToUnix = char*(CDECL*)(const WCHAR*);
    auto to_unix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (to_unix == nullptr) return {};
    std::wstring wide(windows_path.begin(), windows_path.end());  // test paths are ASCII
    char* unix_name = to_unix(wide.c_str());
    if (unix_name == nullptr) return {};
    std::string path(unix_name);
    HeapFree(GetProcessHeap(), 0, unix_name);
    return path;
}

std::optional<std::string> host_shell(const std::string& script, DWORD timeout_ms) {
    if (!under_wine()) return std::nullopt;
    // Wine starts host programs detached: no exit code, no pipes. The script's output goes
    // to a file that is renamed into place once the script has finished.
    WinTempDir dir("zarvex-sh");
    const std::string out_unix = unix_path(dir.file("out"));
    const std::string script_file = dir.file("script.sh");
    write_file_bytes(script_file, "(" + script + ") > '" + out_unix + ".tmp' 2>&1\nmv '" + out_unix + ".tmp' '" +
                                      out_unix + "'\n");
    std::string line = "/bin/sh \"" + unix_path(script_file) + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return std::nullopt;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::string out_file = dir.file("out");
    if (!wait_for([&] { return GetFileAttributesA(out_file.c_str()) != INVALID_FILE_ATTRIBUTES; },
                  std::chrono::milliseconds(timeout_ms))) {
        return std::nullopt;
    }
    return read_file_bytes(out_file);
}

bool host_has(const std::string& unix_program) {
    auto out = host_shell("command -v " + unix_program + " >/dev/null && echo yes");
    return out && out->find("yes") != std::string::npos;
}

WinTempDir::WinTempDir(const std::string& name_part) {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    static unsigned counter = 0;
    for (;;) {
        std::ostringstream name;
        name << base << name_part << "-" << GetCurrentProcessId() << "-" << ++counter;
        if (CreateDirectoryA(name.str().c_str(), nullptr)) {
            path_ = name.str();
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
}

WinTempDir::~WinTempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
}

std::string read_file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool write_file_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        Sleep(20);
    }
    return true;
}

void pump_messages(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    do {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(5);
    } while (GetTickCount64() < end);
}
