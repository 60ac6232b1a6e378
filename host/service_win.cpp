#include <windows.h>

#include <iostream>
#include <iterator>
#include <mutex>
#include <string>

#include "app/run_flag.h"
#include "host/service.h"
#include "host/service_unit.h"

namespace {

// Process-wide service state: the body the service main runs (stored before the
// dispatcher starts), the status record and its handle, the check-point counter.
ServiceBody g_service_body;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status{};
ServiceStatusSequence g_sequence;
std::mutex g_status_lock;  // the control thread and the service main both report

std::string g_service_name = AGENT_SERVICE_NAME;  // the dispatcher's table wants it writable

void report_status(ServiceEvent event, DWORD exit_code = 0) {
    std::lock_guard<std::mutex> lock(g_status_lock);
    const ServiceStatusReport r = g_sequence.report(event, exit_code);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = static_cast<DWORD>(r.state);
    g_status.dwControlsAccepted = r.controls_accepted;
    g_status.dwWin32ExitCode = r.win32_exit_code;
    g_status.dwServiceSpecificExitCode = 0;
    g_status.dwCheckPoint = r.check_point;
    g_status.dwWaitHint = r.wait_hint_ms;
    SetServiceStatus(g_status_handle, &g_status);
}

void WINAPI service_control_handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
    report_status(ServiceEvent::StopReceived);
    request_stop();
}

void WINAPI service_main(DWORD /*argc*/, LPSTR* /*argv*/) {
    g_status_handle = RegisterServiceCtrlHandlerA(g_service_name.c_str(), service_control_handler);
    if (g_status_handle == nullptr) return;
    report_status(ServiceEvent::MainStarted);
    report_status(ServiceEvent::RuntimeStarting);
    // The service manager already sees the service running; the hooks stay empty.
    const int result = g_service_body ? g_service_body(RuntimeHooks{}) : 1;
    report_status(ServiceEvent::RuntimeReturned, static_cast<DWORD>(result));
}

// The manager restarts the service after it fails, a non-zero exit code included (only
// crashes count without the flag). Says on the console when that could not be set.
void set_recovery(SC_HANDLE service) {
    SC_ACTION actions[std::size(AGENT_SERVICE_RESTART_DELAYS_MS)];
    for (size_t i = 0; i < std::size(actions); ++i) actions[i] = {SC_ACTION_RESTART, AGENT_SERVICE_RESTART_DELAYS_MS[i]};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = AGENT_SERVICE_FAILURE_RESET_S;
    failure.cActions = static_cast<DWORD>(std::size(actions));
    failure.lpsaActions = actions;
    SERVICE_FAILURE_ACTIONS_FLAG on_exit_code{};
    on_exit_code.fFailureActionsOnNonCrashFailures = TRUE;
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) ||
        !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_exit_code)) {
        const DWORD error = GetLastError();
        std::cerr << "Warning: the service will not be restarted after a failure (error " << error << ")" << std::endl;
    }
}

}  // namespace

bool install_service() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        // A cut path would register a command line that starts nothing.
        std::cerr << "Failed to create service: " << GetLastError() << std::endl;
        return false;
    }
    const std::string binary_path = windows_binary_path(std::string(path, n));

    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (scm == nullptr) {
        std::cerr << "Failed to open SCM. Run as Administrator." << std::endl;
        return false;
    }
    SC_HANDLE service = CreateServiceA(scm, AGENT_SERVICE_NAME, AGENT_SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       binary_path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS) {
            std::cout << "Service already installed." << std::endl;
        } else {
            std::cerr << "Failed to create service: " << error << std::endl;
        }
        CloseServiceHandle(scm);
        return false;
    }

    std::string description = AGENT_SERVICE_DESCRIPTION;
    SERVICE_DESCRIPTIONA info{};
    info.lpDescription = description.data();
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info);
    set_recovery(service);
    StartServiceA(service, 0, nullptr);
    std::cout << "Service installed and started successfully." << std::endl;
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return true;
}

void uninstall_service() {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm == nullptr) {
        std::cerr << "Failed to open SCM. Run as Administrator." << std::endl;
        return;
    }
    SC_HANDLE service = OpenServiceA(scm, AGENT_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        std::cerr << "Service not found." << std::endl;
        CloseServiceHandle(scm);
        return;
    }
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    Sleep(2000);
    if (DeleteService(service)) {
        std::cout << "Service uninstalled successfully." << std::endl;
    } else {
        std::cerr << "Failed to delete service." << std::endl;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
}

bool run_service_dispatcher(const ServiceBody& body) {
    g_service_body = body;
    SERVICE_TABLE_ENTRYA table[] = {{g_service_name.data(), service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != FALSE;
}
