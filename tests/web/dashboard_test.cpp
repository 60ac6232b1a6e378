// The web dashboard in headless Chromium against the development relay and the real
// agent on Xvfb: the picture, input, clipboard, uploads, sound, a hostile relay and the
// messages people see. The browser side runs in tests/web/browser/dashboard.mjs; this
// side owns the system and checks what reached the host.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>
#include <openssl/sha.h>

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/pulse_server.h"
// X11 after gtest: Xlib's macros (None, ...) clash with gtest's names.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "tests/input/x_event_recorder.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kWebTests = std::string(ZARVEX_SOURCE_DIR) + "/tests/web";

// One browser scenario in node: started, watched through its STEP lines, and finished
// with its RESULT object (empty on failure, with the reason in why).
class BrowserRun {
public:
    bool start(const Rig& rig, const std::string& scenario, json options) {
        scenario_ = scenario;
        if (!fs::exists(kWebTests + "/node_modules/puppeteer-core")) {
            why = "tests/web/node_modules is missing: run scripts/setup (npm ci)";
            return false;
        }
        options["scenario"] = scenario;
        options["url"] = rig.server_url();
        options["username"] = "tester";
        options["password"] = "password123";
        options["machineId"] = rig.machine_id();
        options["display"] = rig.display();
        if (!node_.start({ZARVEX_NODE, kWebTests + "/browser/dashboard.mjs", options.dump()}, {}, kWebTests)) {
            why = "cannot start node";
            return false;
        }
        return true;
    }
    bool wait_step(const std::string& step, std::chrono::milliseconds timeout) {
        return node_.wait_for_output("STEP " + step + "\n", timeout);
    }
    json finish() {
        if (!why.empty()) return {};
        auto code = node_.wait(120s);
        if (!code) node_.stop();
        const std::string out = node_.out();
        json result;
        const auto at = out.rfind("RESULT ");
        if (at != std::string::npos) {
            result = json::parse(out.substr(at + 7, out.find('\n', at) - at - 7), nullptr, false);
            if (result.is_discarded()) result = json::object();
        }
        if (code != 0) {
            why = "browser scenario " + scenario_ + " failed:\n" + out + node_.err();
            return {};
        }
        std::printf("browser scenario %s: %s\n", scenario_.c_str(), result.dump().c_str());
        return result;
    }

    std::string why;

private:
    std::string scenario_;
    Process node_;
};

json run_browser(const Rig& rig, const std::string& scenario, json options, std::string& why) {
    BrowserRun run;
    run.start(rig, scenario, std::move(options));
    json r = run.finish();
    why = run.why;
    return r;
}

// Within tolerance of an RGB colour (H.264 and its colour conversion are lossy).
bool near(const json& rgb, int r, int g, int b, int tolerance = 40) {
    return rgb.is_array() && rgb.size() == 3 && std::abs(rgb[0].get<int>() - r) <= tolerance &&
           std::abs(rgb[1].get<int>() - g) <= tolerance && std::abs(rgb[2].get<int>() - b) <= tolerance;
}

void expect_pattern(const json& blocks) {
    ASSERT_TRUE(blocks.is_array() && blocks.size() == 5) << blocks;
    EXPECT_TRUE(near(blocks[0], 255, 0, 0)) << "red block: " << blocks[0];
    EXPECT_TRUE(near(blocks[1], 0, 255, 0)) << "green block: " << blocks[1];
    EXPECT_TRUE(near(blocks[2], 0, 0, 255)) << "blue block: " << blocks[2];
    EXPECT_TRUE(near(blocks[3], 255, 255, 255)) << "white block: " << blocks[3];
    EXPECT_TRUE(near(blocks[4], 128, 128, 128)) << "grey background: " << blocks[4];
}

std::string sha256_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    unsigned char d[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), d);
    return std::string(reinterpret_cast<char*>(d), sizeof d);
}

void write_random(const fs::path& p, size_t size, uint64_t seed) {
    std::vector<char> data(size);
    std::mt19937_64 rng(seed);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t v = rng();
        std::memcpy(&data[i], &v, 8);
    }
    std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

class Dashboard : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.start_system(1280, 720)) << rig.error();
        downloads = rig.dir() / "downloads";
        fs::create_directories(downloads);
    }
    void start_agent(std::map<std::string, std::string> env = {}) {
        env["XDG_DOWNLOAD_DIR"] = downloads;
        ASSERT_TRUE(rig.start_agent(env)) << rig.error();
    }
    json browse(const std::string& scenario, json options = json::object()) {
        std::string why;
        json r = run_browser(rig, scenario, std::move(options), why);
        EXPECT_TRUE(why.empty()) << why;
        return r;
    }

    PulseServer pulse;  // declared before the rig: the agent stops before its sound server
    Rig rig;
    std::string downloads;
};

}  // namespace

TEST_F(Dashboard, SignInListsTheMachineAndShowsThePictureWithinTwoSeconds) {
    ASSERT_TRUE(rig.start_pattern("--static"));
    start_agent();
    json options;
    const char* shot = std::getenv("ZARVEX_DASHBOARD_SCREENSHOT");
    options["screenshot"] = shot ? std::string(shot) : rig.dir() / "dashboard.png";
    json r = browse("picture", options);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r["listed"]["name"], "rig");
    EXPECT_EQ(r["listed"]["os"], "Linux");
    EXPECT_EQ(r["listed"]["state"], "Online");
    EXPECT_LE(r["firstFrameMs"].get<int>(), 2000) << "from the click on Connect to the first picture";
    EXPECT_EQ(r["canvas"], json::array({1280, 720}));
    EXPECT_EQ(r["fit"]["fit"], "contain");
    expect_pattern(r["blocks"]);
    EXPECT_NE(r["figures"]["stat-cpu"].get<std::string>().find('%'), std::string::npos) << r["figures"];
    EXPECT_NE(r["figures"]["stat-procs"], "–");
    EXPECT_NE(r["figures"]["stat-kbps"], "–");
    EXPECT_EQ(r["status"], "Connected, end-to-end encrypted");
    EXPECT_EQ(r["unsealedFrames"], 0) << "nothing from the real relay fails to open";
    EXPECT_TRUE(fs::exists(options["screenshot"].get<std::string>()));
    EXPECT_EQ(r["fullscreenFocus"], "screen") << "full screen hands the keys to the picture";
    EXPECT_TRUE(rig.agent().wait_for_output("Adjusting bitrate to 2000 kbps", 5s)) << "the quality control";
}

TEST_F(Dashboard, ADroppedConnectionResumesTheSameSession) {
    XEventRecorder recorder(rig.display());
    ASSERT_TRUE(recorder.ok());
    start_agent();
    json r = browse("reconnect");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r["after"]["sessionId"], r["before"]["sessionId"]) << "the relay's session resumed";
    EXPECT_NE(r["during"]["state"], "ready");
    EXPECT_EQ(r["after"]["state"], "ready");
    EXPECT_GE(r["after"]["reconnects"].get<int>(), 1);
    EXPECT_EQ(r["after"]["keyExchanges"], 2) << "fresh keys for the resumed session";
    EXPECT_TRUE(recorder.wait_for([](const auto& e) {
        return e.type == ButtonPress && e.detail == 1 && std::abs(e.x_root - 640) <= 2 && std::abs(e.y_root - 360) <= 2;
    })) << "input after the reconnection";
}

TEST_F(Dashboard, ThePageExplainsAnAgentThatWentAwayAndPicksItUpAgain) {
    ASSERT_TRUE(rig.start_pattern("--moving"));
    start_agent();
    BrowserRun run;
    ASSERT_TRUE(run.start(rig, "agent_restart", json::object())) << run.why;
    if (run.wait_step("connected", 30s)) {
        rig.agent().stop();
        if (run.wait_step("offline shown", 30s)) start_agent();
    }
    json r = run.finish();
    ASSERT_TRUE(run.why.empty()) << run.why << rig.agent().out();
    EXPECT_NE(r["offline"].get<std::string>().find("went offline"), std::string::npos) << r;
    EXPECT_EQ(r["after"]["state"], "ready");
    EXPECT_GE(r["after"]["keyExchanges"].get<int>(), 2) << "a fresh key for the agent's new run";
    EXPECT_GT(r["after"]["frames"].get<int>(), r["before"]["frames"].get<int>());
}

TEST_F(Dashboard, PointerKeysAndWheelReachTheHostScaledToThePicture) {
    XEventRecorder recorder(rig.display());
    ASSERT_TRUE(recorder.ok());
    start_agent();
    ASSERT_FALSE(browse("input").empty());

    auto pressed = [&](unsigned button, int x, int y) {
        return recorder.wait_for([=](const XEventRecorder::Event& e) {
            return e.type == ButtonPress && e.detail == button && std::abs(e.x_root - x) <= 2 && std::abs(e.y_root - y) <= 2;
        });
    };
    EXPECT_TRUE(pressed(1, 320, 360)) << "left click at a quarter across, half down";
    EXPECT_TRUE(pressed(3, 960, 180)) << "right click at three quarters across, a quarter down";
    EXPECT_TRUE(recorder.wait_for([](const auto& e) { return e.type == ButtonPress && e.detail == 5; })) << "wheel down";
    EXPECT_TRUE(recorder.wait_for([](const auto& e) { return e.type == ButtonPress && e.detail == 4; })) << "wheel up";

    std::vector<unsigned long> typed;
    for (const auto& e : recorder.events())
        if (e.type == KeyPress) typed.push_back(e.keysym);
    const std::vector<unsigned long> want = {XK_Shift_L, XK_h, XK_i, XK_space, XK_5, XK_Left, XK_Shift_L};
    EXPECT_EQ(typed, want);
    // The Shift held when the page lost the focus was released on the host.
    EXPECT_TRUE(recorder.wait_for(
        [&](const auto& e) { return e.type == KeyRelease && e.keysym == XK_Shift_L; }, 2))
        << "Shift released after H, and again when the page lost the focus";
}

TEST_F(Dashboard, ClipboardTextTravelsBothWays) {
    ASSERT_TRUE(rig.start_pattern("--static"));
    start_agent();
    const std::string to_host = "from the page \xC3\xA9\xF0\x9F\x98\x80";
    const std::string from_host = "copied on the host \xF0\x9F\x93\x8B";
    json options;
    options["toHost"] = to_host;
    options["fromHost"] = from_host;
    std::string why;
    json r;
    std::thread browser([&] { r = run_browser(rig, "clipboard", options, why); });
    const bool arrived = wait_until(
        [&] { return run_command({"xclip", "-selection", "clipboard", "-o"}, rig.display(), 3s) == to_host; }, 40s);
    Process xclip;
    if (arrived)
        xclip.start({"sh", "-c", "printf '%s' \"$TEXT\" | xclip -selection clipboard -i"},
                    {{"DISPLAY", rig.display()}, {"TEXT", from_host}});
    browser.join();
    EXPECT_TRUE(arrived) << "the page's text in the X CLIPBOARD";
    ASSERT_TRUE(why.empty()) << why;
    EXPECT_EQ(r["pageText"], from_host);
    EXPECT_EQ(r["localClipboard"], from_host) << "written to the browser's clipboard where allowed";
}

TEST_F(Dashboard, DroppedAndPickedFilesArriveByteIdentical) {
    ASSERT_TRUE(rig.start_pattern("--static"));
    start_agent();
    const fs::path big = rig.dir() / "big file.bin";
    write_random(big, 20u * 1024 * 1024, 7);
    const fs::path a = rig.dir() / "notes.txt", b = rig.dir() / "empty.dat";
    std::ofstream(a) << "queued behind nothing, then the big one\n";
    std::ofstream(b).close();
    json options;
    options["dropFile"] = big.string();
    options["pickerFiles"] = json::array({a.string(), b.string()});
    json r = browse("upload", options);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r["progress"], 100);
    ASSERT_EQ(r["list"].size(), 3u) << r["list"];
    for (const auto& item : r["list"]) EXPECT_EQ(item[0], "done") << item;

    const fs::path folder = fs::path(downloads) / "Vantor";
    ASSERT_TRUE(wait_until([&] { return fs::exists(folder / "big file.bin") && fs::file_size(folder / "big file.bin") == fs::file_size(big); }, 30s))
        << rig.agent().out();
    ASSERT_TRUE(rig.agent().wait_for_output("/Vantor/big file.bin (20971520 bytes)", 30s)) << rig.agent().out();
    EXPECT_EQ(sha256_file(folder / "big file.bin"), sha256_file(big));
    EXPECT_EQ(read_file(folder / "notes.txt"), read_file(a));
    EXPECT_TRUE(fs::exists(folder / "empty.dat"));
}

TEST_F(Dashboard, HostSoundReachesThePageAfterUnmuting) {
    ASSERT_TRUE(pulse.start(true, 48000, 2)) << pulse.error();
    ASSERT_TRUE(rig.start_pattern("--static"));
    start_agent(pulse.client_env());
    const std::string tone = pulse.dir() / "tone.wav";
    ASSERT_TRUE(write_wav_s16(tone, sine_tone(1000, 30.0, 48000, 2), 48000, 2));
    Process player;
    ASSERT_TRUE(pulse.play(player, tone));
    json r = browse("audio");
    player.stop();
    ASSERT_FALSE(r.empty());
    EXPECT_TRUE(r["mutedFrequency"].is_null()) << "silent until the user unmutes";
    ASSERT_GE(r["frequencies"].size(), 3u) << r;
    for (const auto& f : r["frequencies"]) EXPECT_NEAR(f.get<double>(), 1000.0, 5.0) << r;
    EXPECT_EQ(r["audio"]["format"]["sampleRate"], 48000);
    EXPECT_EQ(r["audio"]["format"]["channels"], 2);
    EXPECT_LE(r["audio"]["ahead"].get<double>(), 0.3) << "the buffer stays bounded";
}

TEST_F(Dashboard, ATamperingRelayIsIgnoredAndThePictureGoesOn) {
    ASSERT_TRUE(rig.start_pattern("--moving"));
    start_agent();
    json r = browse("tamper");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r["corrupted"], 3);
    EXPECT_GE(r["after"]["dropped"].get<int>() - r["before"]["dropped"].get<int>(), 5) << r;
    EXPECT_EQ(r["after"]["state"], "ready");
    EXPECT_GT(r["after"]["frames"].get<int>(), r["before"]["frames"].get<int>() + 10);
    EXPECT_EQ(r["after"]["clipboard"], "") << "unsealed text is never shown";
    EXPECT_EQ(r["after"]["shown"], std::to_string(r["after"]["dropped"].get<int>()));
}

TEST_F(Dashboard, WrongPasswordAndAnOfflineMachineAreExplained) {
    // No agent: the machine is registered but offline.
    json r = browse("errors");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r["wrongPassword"], "Wrong user name or password.");
    EXPECT_TRUE(r["tokenAfterFailure"].is_null());
    EXPECT_EQ(r["listed"]["online"], "false");
    EXPECT_EQ(r["listed"]["state"], "Offline");
    EXPECT_EQ(r["url"].get<std::string>().find("token"), std::string::npos) << "the token never shows in a URL";
    EXPECT_TRUE(r["tokenStored"].get<bool>());
    EXPECT_NE(r["offline"].get<std::string>().find("is offline"), std::string::npos) << r["offline"];
    EXPECT_EQ(r["view"], "machines");
    EXPECT_EQ(r["afterSignOut"]["view"], "signin");
    EXPECT_TRUE(r["afterSignOut"]["token"].is_null());
    ASSERT_TRUE(r["missing"].is_array());
    ASSERT_EQ(r["missing"].size(), 1u) << r["missing"];
    EXPECT_NE(r["missing"][0].get<std::string>().find("WebCodecs"), std::string::npos);
}
