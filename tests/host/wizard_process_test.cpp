// The setup wizard as a user drives it: the real agent with --setup against the
// development relay (or a recording HTTP server), answers piped in or typed into a
// pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/rig.h"
#include "tests/host/fake_http_server.h"

using namespace testsupport;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

struct WizardRun {
    int code = -1;
    std::string out, err;
};

class Wizard : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = free_port();
        ASSERT_TRUE(relay_.start({bin("zarvex-relay"), "--listen", "127.0.0.1", "--port", std::to_string(port_), "--db",
                                  dir_ / "relay.db"}));
        ASSERT_TRUE(relay_.wait_for_output("Listening on", 15s)) << relay_.out() << relay_.err();
        std::filesystem::create_directories(dir_ / "appdata/VantorAgent");
        // An existing configuration whose frame rate and bit rate the wizard keeps.
        write_file(config_path(), R"({
  "auth_token": "",
  "bitrate_kbps": 3000,
  "machine_id": "00000000-0000-0000-0000-000000000000",
  "machine_name": "",
  "server_url": "https://old.example",
  "target_fps": 25
})");
    }

    std::string config_path() const { return dir_ / "appdata/VantorAgent/config.json"; }
    std::string relay_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Runs "agent --setup" with the answers on standard input.
    WizardRun run(const std::string& answers) {
        write_file(dir_ / "answers.txt", answers);
        Process p;
        EXPECT_TRUE(p.start({"/bin/sh", "-c", "exec \"$0\" --setup < \"$1\"", bin("agent"), dir_ / "answers.txt"},
                            {{"APPDATA", dir_ / "appdata"}}, dir_.path()));
        WizardRun r;
        auto code = p.wait(60s);
        EXPECT_TRUE(code.has_value()) << "wizard did not finish";
        r.code = code.value_or(-1);
        r.out = p.out();
        r.err = p.err();
        return r;
    }

    // A failing run: its line on standard error, exit code 1, config.json untouched.
    void expect_failure(const WizardRun& r, const std::string& err_start, const std::string& before) {
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_EQ(r.err.rfind(err_start, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(read_file(config_path()), before);
    }

    TempDir dir_{"zarvex-wizard"};
    Process relay_;
    int port_ = 0;
};

std::string hostname() {
    char name[256] = {0};
    gethostname(name, sizeof name - 1);
    return name[0] ? name : "Unknown";
}

}  // namespace

TEST_F(Wizard, NewAccountThenSignInWithPipedAnswers) {
    WizardRun r = run(relay_url() + "/\n\nalice\nalice@example.com\npassword123\n\n");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const std::string rule(44, '=');
    const std::string expected_start = "\n" + rule + "\n  Zarvex Agent Setup\n" + rule + "\n\n";
    EXPECT_EQ(r.out.rfind(expected_start, 0), 0u) << r.out;
    const char* in_order[] = {"Enter the relay server URL\n(", "Server URL: ", "\nDo you have an account? (y/n): ",
                              "\n--- Create new account ---\n", "Username (min 3 chars): ", "Email: ",
                              "Password (min 8 chars): ", "\nRegistering account...\n", "Account created!\n",
                              "\nSigning in...\n", "Logged in!\n", "\nRegistering this machine...\n",
                              "Machine registered!\n", "  Setup complete!\n", "\nNext steps:\n"};
    size_t at = 0;
    for (const char* text : in_order) {
        size_t found = r.out.find(text, at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << text << "\n" << r.out;
        at = found;
    }
    const std::string machine_prompt = "\nMachine name [" + hostname() + "]: ";
    EXPECT_NE(r.out.find(machine_prompt), std::string::npos) << r.out;

    json config = json::parse(read_file(config_path()));
    EXPECT_EQ(config["server_url"], relay_url());  // the one trailing slash is gone
    EXPECT_EQ(config["machine_name"], hostname());
    EXPECT_EQ(config["target_fps"], 25);
    EXPECT_EQ(config["bitrate_kbps"], 3000);
    const std::string token = config["auth_token"];
    const std::string id = config["machine_id"];
    EXPECT_EQ(id.size(), 36u);
    EXPECT_NE(r.out.find("\nMachine ID: " + id + "\nServer: " + relay_url() + "\n"), std::string::npos);

    // The relay knows the machine under that token.
    Process list;
    ASSERT_TRUE(list.start({"curl", "-s", "-m", "10", "-H", "Authorization: Bearer " + token, relay_url() + "/api/machines"}));
    ASSERT_TRUE(list.wait(15s));
    EXPECT_NE(list.out().find(id), std::string::npos) << list.out();

    // A second run signs in with "y" and registers the machine again under a typed name.
    r = run(relay_url() + "\ny\nalice\npassword123\nStudio PC\n");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\n--- Sign in ---\nUsername: Password: \nSigning in...\nLogged in!\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Registering account"), std::string::npos);
    config = json::parse(read_file(config_path()));
    EXPECT_EQ(config["machine_name"], "Studio PC");
    EXPECT_NE(config["machine_id"], id);
    EXPECT_EQ(config["target_fps"], 25);
}

TEST_F(Wizard, FailuresLeaveTheConfigurationAsItWas) {
    ASSERT_EQ(run(relay_url() + "\nn\nbob\nbob@example.com\npassword123\n\n").code, 0);
    const std::string before = read_file(config_path());

    WizardRun r = run(relay_url() + "\nn\nbob\nbob@example.com\npassword123\n\n");
    expect_failure(r, "Registration failed: HTTP 409: {", before);

    r = run(relay_url() + "\nyes\nbob\nb@x\nwrongpass1\n\n");  // "yes" is not "y": registration
    expect_failure(r, "Registration failed: HTTP 409", before);

    r = run(relay_url() + "\nY\nbob\nwrongpass1\n\n");
    expect_failure(r, "Login failed: HTTP 401", before);

    const std::string down = "http://127.0.0.1:" + std::to_string(free_port());
    r = run(down + "\ny\nbob\npassword123\n\n");
    expect_failure(r, "Login failed: HTTP 0 (", before);

    r = run("\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("Server URL: Setup cancelled.\n"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(config_path()), before);

    // Input that ends at any prompt cancels; nothing is sent after it.
    for (const std::string& partial : {std::string(""), relay_url() + "\n", relay_url() + "\ny\nbob\n",
                                       relay_url() + "\ny\nbob\npassword123\n"}) {
        r = run(partial);
        EXPECT_EQ(r.code, 1) << partial;
        EXPECT_NE(r.out.find("Setup cancelled.\n"), std::string::npos) << r.out;
        EXPECT_EQ(read_file(config_path()), before);
    }
}

TEST_F(Wizard, RequestBytesAndMalformedAnswers) {
    FakeHttpServer api;
    ASSERT_TRUE(api.ok());
    api.answer("/api/auth/register", 201, "{\"ok\":true}");
    api.answer("/api/auth/login", 200, "{\"token\":\"tok-123\"}");
    api.answer("/api/machines/register", 200, "{\"machine_id\":\"11111111-2222-3333-4444-555555555555\"}");
    const std::string name = "B\xc3\xbcro \"PC\"";
    WizardRun r = run(api.url() + "\nn\ncarol\nc@example.com\npass word\xc3\xa9\n" + name + "\n");
    ASSERT_EQ(r.code, 0) << r.out << r.err;

    auto reqs = api.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].path, "/api/auth/register");
    EXPECT_EQ(reqs[0].body, "{\"email\":\"c@example.com\",\"password\":\"pass word\xc3\xa9\",\"username\":\"carol\"}");
    EXPECT_EQ(reqs[1].path, "/api/auth/login");
    EXPECT_EQ(reqs[1].body, "{\"password\":\"pass word\xc3\xa9\",\"username\":\"carol\"}");
    EXPECT_EQ(reqs[2].path, "/api/machines/register");
    EXPECT_EQ(reqs[2].body, "{\"name\":\"B\xc3\xbcro \\\"PC\\\"\",\"os_info\":\"Linux\"}");
    EXPECT_EQ(reqs[0].headers.count("authorization"), 0u);
    EXPECT_EQ(reqs[1].headers.count("authorization"), 0u);
    EXPECT_EQ(reqs[2].headers["authorization"], "Bearer tok-123");
    for (auto& q : reqs) {
        EXPECT_EQ(q.method, "POST");
        EXPECT_EQ(q.headers["content-type"], "application/json");
    }
    json config = json::parse(read_file(config_path()));
    EXPECT_EQ(config["auth_token"], "tok-123");
    EXPECT_EQ(config["machine_name"], name);
    EXPECT_EQ(config["server_url"], api.url());
    const std::string before = read_file(config_path());

    api.answer("/api/auth/login", 200, "{\"session\":\"x\"}");
    r = run(api.url() + "\ny\ncarol\npw\n\n");
    expect_failure(r, "Login failed: [json.exception.type_error.302] type must be string, but is null", before);

    api.answer("/api/auth/login", 200, "{\"token\":\"tok-123\"}");
    api.answer("/api/machines/register", 200, "<html>busy</html>");
    r = run(api.url() + "\ny\ncarol\npw\n\n");
    expect_failure(r, "Machine registration failed: [json.exception.parse_error.101]", before);
}

namespace {

// The wizard on a pseudo-terminal: what it writes is the screen, what the test writes is
// the keyboard.
class Terminal {
public:
    bool start(const std::string& appdata, const std::string& cwd) {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            setenv("APPDATA", appdata.c_str(), 1);
            if (chdir(cwd.c_str()) != 0) _exit(126);
            const std::string agent = bin("agent");
            execl(agent.c_str(), agent.c_str(), "--setup", static_cast<char*>(nullptr));
            _exit(127);
        }
        return true;
    }
    ~Terminal() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    // Reads the screen until text appears after the last match.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            size_t found = screen_.find(text, mark_);
            if (found != std::string::npos) {
                mark_ = found + text.size();
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) return false;
            screen_.append(buf, static_cast<size_t>(n));
        }
    }
    void type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
    int wait_exit() {
        char buf[4096];
        ssize_t n;
        while ((n = read(master_, buf, sizeof buf)) > 0) screen_.append(buf, static_cast<size_t>(n));
        int status = 0;
        waitpid(pid_, &status, 0);
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& screen() const { return screen_; }
    size_t mark() const { return mark_; }
    // The terminal's line mode as the program left it.
    bool echoes_lines() const {
        termios mode{};
        return tcgetattr(master_, &mode) == 0 && (mode.c_lflag & ECHO) && (mode.c_lflag & ICANON) && (mode.c_lflag & ISIG);
    }

private:
    pid_t pid_ = -1;
    int master_ = -1;
    bool exited_ = false;
    std::string screen_;
    size_t mark_ = 0;
};

}  // namespace

TEST_F(Wizard, MaskedPasswordOnATerminal) {
    Terminal t;
    ASSERT_TRUE(t.start(dir_ / "appdata", dir_.path()));
    ASSERT_TRUE(t.wait_for("Server URL: ")) << t.screen();
    t.type(relay_url() + "\r");
    ASSERT_TRUE(t.wait_for("(y/n): ")) << t.screen();
    t.type("n\r");
    ASSERT_TRUE(t.wait_for("Username (min 3 chars): "));
    t.type("dave\r");
    ASSERT_TRUE(t.wait_for("Email: "));
    t.type("dave@example.com\r");
    ASSERT_TRUE(t.wait_for("Password (min 8 chars): ")) << t.screen();
    const size_t typed_from = t.mark();
    // Two characters too many, taken back with the two kinds of backspace; tab, a lone
    // escape and an arrow key add nothing.
    t.type("password12345\x7f\b\t\x1b");
    std::this_thread::sleep_for(200ms);
    t.type("\x1b[A\x1bOB\r");
    ASSERT_TRUE(t.wait_for("Machine name [")) << t.screen();
    t.type("\r");
    EXPECT_EQ(t.wait_exit(), 0) << t.screen();

    const std::string echo = t.screen().substr(typed_from, t.screen().find("Registering account") - typed_from);
    EXPECT_EQ(echo, std::string(13, '*') + "\b \b\b \b\r\n\r\n") << echo;
    EXPECT_EQ(t.screen().find("password1"), std::string::npos);

    // What was sent is what remained: the eleven characters "password123".
    HttpResult login = http_post(relay_url() + "/api/auth/login", "{\"password\":\"password123\",\"username\":\"dave\"}");
    EXPECT_EQ(login.status, 200) << login.body;
    json config = json::parse(read_file(config_path()));
    EXPECT_EQ(config["server_url"], relay_url());
    EXPECT_EQ(config["machine_id"].get<std::string>().size(), 36u);
}

TEST_F(Wizard, CtrlCAtThePasswordCancelsAndRestoresTheTerminal) {
    const std::string before = read_file(config_path());
    Terminal t;
    ASSERT_TRUE(t.start(dir_ / "appdata", dir_.path()));
    ASSERT_TRUE(t.wait_for("Server URL: "));
    t.type(relay_url() + "\ry\reve\r");
    ASSERT_TRUE(t.wait_for("Password: ")) << t.screen();
    t.type("abc\x03");
    EXPECT_EQ(t.wait_exit(), 1) << t.screen();
    EXPECT_NE(t.screen().find("***\r\n\r\nSetup cancelled."), std::string::npos) << t.screen();
    EXPECT_TRUE(t.echoes_lines());
    EXPECT_EQ(read_file(config_path()), before);
}
