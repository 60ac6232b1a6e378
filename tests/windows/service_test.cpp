// The service commands against the system's service manager: install (which starts the
// service), the running service's status, the stop control, removal. A real service is
// installed, so this runs under Wine (a prefix of its own) or where ZARVEX_TEST_SERVICE
// is set on an elevated machine that has no agent service.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "host/service_unit.h"
#include "win_test_support.h"

namespace {

struct ServiceHandles {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    ~ServiceHandles() {
        if (service) CloseServiceHandle(service);
        if (manager) CloseServiceHandle(manager);
    }
};

bool open_agent_service(ServiceHandles& h) {
    h.manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (h.manager == nullptr) return false;
    h.service = OpenServiceA(h.manager, AGENT_SERVICE_NAME, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | SERVICE_STOP);
    return h.service != nullptr;
}

bool query(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed) != FALSE;
}

bool service_exists() {
    ServiceHandles h;
    return open_agent_service(h);
}

class WindowsService : public testing::Test {
protected:
    void SetUp() override {
        if (!under_wine() && std::getenv("ZARVEX_TEST_SERVICE") == nullptr) {
            GTEST_SKIP() << "installs a system service: runs under Wine, or with ZARVEX_TEST_SERVICE set";
        }
        // A folder with a space, so that the registered command line must be quoted.
        std::filesystem::create_directories(dir_.path() + "\\Zarvex Probe");
        probe_ = dir_.path() + "\\Zarvex Probe\\zarvex_service_probe.exe";
        ASSERT_TRUE(CopyFileA((module_dir() + "\\zarvex_service_probe.exe").c_str(), probe_.c_str(), FALSE));
        log_ = dir_.path() + "\\Zarvex Probe\\service_probe.log";
        ASSERT_FALSE(service_exists()) << "a ZarvexAgent service is already installed here";
    }
    void TearDown() override {
        if (!probe_.empty() && service_exists()) run_child("\"" + probe_ + "\" --uninstall", 20000);
    }

    ChildResult probe(const std::string& args) { return run_child("\"" + probe_ + "\" " + args, 20000); }

    WinTempDir dir_{"zarvex-service"};
    std::string probe_;
    std::string log_;
};

TEST_F(WindowsService, InstallRunsTheServiceUntilStopAndUninstallRemovesIt) {
    ChildResult install = probe("--install");
    ASSERT_TRUE(install.finished);
    EXPECT_EQ(install.exit_code, 0u);
    EXPECT_NE(install.out.find("Service installed and started successfully."), std::string::npos) << install.out
                                                                                                   << install.err;

    ServiceHandles h;
    ASSERT_TRUE(open_agent_service(h));

    // What was registered.
    char config_buffer[8192];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(config_buffer);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigA(h.service, config, sizeof(config_buffer), &needed));
    EXPECT_EQ(std::string(config->lpBinaryPathName), "\"" + probe_ + "\" --service");
    EXPECT_EQ(std::string(config->lpDisplayName), AGENT_SERVICE_DISPLAY_NAME);
    EXPECT_EQ(config->dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
    EXPECT_EQ(config->dwStartType, DWORD{SERVICE_AUTO_START});
    EXPECT_EQ(config->dwErrorControl, DWORD{SERVICE_ERROR_NORMAL});
    char description_buffer[1024];
    if (QueryServiceConfig2A(h.service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(description_buffer),
                             sizeof(description_buffer), &needed)) {
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(description_buffer);
        ASSERT_NE(description->lpDescription, nullptr);
        EXPECT_EQ(std::string(description->lpDescription), AGENT_SERVICE_DESCRIPTION);
    }

    // Restarted after a failure, a non-zero exit code included (a lost display).
    alignas(SERVICE_FAILURE_ACTIONSA) char failure_buffer[1024];
    if (QueryServiceConfig2A(h.service, SERVICE_CONFIG_FAILURE_ACTIONS, reinterpret_cast<BYTE*>(failure_buffer),
                             sizeof(failure_buffer), &needed)) {
        auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(failure_buffer);
        EXPECT_EQ(failure->dwResetPeriod, DWORD{AGENT_SERVICE_FAILURE_RESET_S});
        ASSERT_EQ(failure->cActions, DWORD{std::size(AGENT_SERVICE_RESTART_DELAYS_MS)});
        for (DWORD i = 0; i < failure->cActions; ++i) {
            EXPECT_EQ(failure->lpsaActions[i].Type, SC_ACTION_RESTART);
            EXPECT_EQ(failure->lpsaActions[i].Delay, DWORD{AGENT_SERVICE_RESTART_DELAYS_MS[i]});
        }
    }
    SERVICE_FAILURE_ACTIONS_FLAG on_exit_code{};
    if (QueryServiceConfig2A(h.service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE*>(&on_exit_code),
                             sizeof(on_exit_code), &needed)) {
        EXPECT_TRUE(on_exit_code.fFailureActionsOnNonCrashFailures);
    }
    // Wine's service manager has no failure-actions flag: the install says so and goes on.
    if (!under_wine()) {
        EXPECT_EQ(install.err.find("will not be restarted"), std::string::npos) << install.err;
    }

    // The service process reached the runtime, and the manager sees it running.
    ASSERT_TRUE(wait_for([&] { return read_file_bytes(log_).find("runtime started") != std::string::npos; },
                         std::chrono::seconds(15)));
    SERVICE_STATUS_PROCESS status{};
    ASSERT_TRUE(wait_for([&] { return query(h.service, status) && status.dwCurrentState == SERVICE_RUNNING; },
                         std::chrono::seconds(10)));
    EXPECT_EQ(status.dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
    EXPECT_EQ(status.dwControlsAccepted, DWORD{SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN});
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 0u);
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_NE(status.dwProcessId, 0u);

    ChildResult again = probe("--install");
    EXPECT_NE(again.out.find("Service already installed."), std::string::npos) << again.out << again.err;
    EXPECT_EQ(again.exit_code, 0u);

    // Stop: stop pending with the next check point, then stopped with the runtime's code.
    SERVICE_STATUS stop{};
    ASSERT_TRUE(ControlService(h.service, SERVICE_CONTROL_STOP, &stop)) << GetLastError();
    if (stop.dwCurrentState == SERVICE_STOP_PENDING) {
        EXPECT_EQ(stop.dwCheckPoint, 2u);
        EXPECT_EQ(stop.dwWaitHint, AGENT_SERVICE_WAIT_HINT_MS);
        EXPECT_EQ(stop.dwControlsAccepted, 0u);
    }
    ASSERT_TRUE(wait_for([&] { return query(h.service, status) && status.dwCurrentState == SERVICE_STOPPED; },
                         std::chrono::seconds(10)));
    EXPECT_EQ(status.dwWin32ExitCode, 42u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_NE(read_file_bytes(log_).find("runtime stopped"), std::string::npos);

    CloseServiceHandle(h.service);
    h.service = nullptr;
    ChildResult removed = probe("--uninstall");
    ASSERT_TRUE(removed.finished);
    EXPECT_EQ(removed.exit_code, 0u);
    EXPECT_NE(removed.out.find("Service uninstalled successfully."), std::string::npos) << removed.out << removed.err;
    EXPECT_TRUE(wait_for([] { return !service_exists(); }, std::chrono::seconds(5)));

    ChildResult missing = probe("--uninstall");
    EXPECT_NE(missing.err.find("Service not found."), std::string::npos) << missing.out << missing.err;
    EXPECT_EQ(missing.exit_code, 0u);
}

TEST_F(WindowsService, UninstallStopsARunningService) {
    ASSERT_TRUE(probe("--install").finished);
    ASSERT_TRUE(wait_for([&] { return read_file_bytes(log_).find("runtime started") != std::string::npos; },
                         std::chrono::seconds(15)));
    ChildResult removed = probe("--uninstall");
    EXPECT_NE(removed.out.find("Service uninstalled successfully."), std::string::npos) << removed.out << removed.err;
    EXPECT_TRUE(wait_for([&] { return read_file_bytes(log_).find("runtime stopped") != std::string::npos; },
                         std::chrono::seconds(10)));
    EXPECT_TRUE(wait_for([] { return !service_exists(); }, std::chrono::seconds(5)));
}

TEST_F(WindowsService, ServiceModeFromAConsoleEndsAtOnceWithoutRunning) {
    ChildResult run = probe("--service");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(read_file_bytes(log_).find("runtime started"), std::string::npos);
    // "--service" before "--install" ends the walk: nothing is installed.
    ChildResult ordered = probe("--service --install");
    ASSERT_TRUE(ordered.finished);
    EXPECT_FALSE(service_exists());
}

}  // namespace
