// Remote control end to end through the relay: pointer, buttons, keys and wheel reach an
// X client; the clipboard travels both ways; uploads land whole and only inside the
// upload folder; statistics arrive every 2 seconds.
#include <cstring>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include <openssl/sha.h>

#include "tests/e2e/e2e_fixture.h"
// X11 after gtest: Xlib's macros (None, ...) clash with gtest's names.
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "tests/input/x_event_recorder.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class RemoteControl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.start_system(1280, 720)) << rig.error();
        downloads = rig.dir() / "downloads";
        fs::create_directories(downloads);
    }
    void start_agent() { ASSERT_TRUE(rig.start_agent({{"XDG_DOWNLOAD_DIR", downloads}})) << rig.error(); }
    fs::path upload_folder() const { return fs::path(downloads) / "Vantor"; }

    Rig rig;
    std::string downloads;
};

std::string sha256_of(const std::vector<uint8_t>& bytes) {
    unsigned char d[SHA256_DIGEST_LENGTH];
    SHA256(bytes.data(), bytes.size(), d);
    return std::string(reinterpret_cast<char*>(d), sizeof d);
}

std::vector<uint8_t> read_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void upload(ViewerSession& s, const std::string& name, const std::vector<uint8_t>& data, size_t chunk = 64 * 1024) {
    size_t offset = 0;
    do {
        size_t n = std::min(chunk, data.size() - offset);
        ASSERT_TRUE(s.send_file_chunk(name, offset, data.size(), std::vector<uint8_t>(data.begin() + offset, data.begin() + offset + n)));
        offset += n;
    } while (offset < data.size());
}

std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder)) out.push_back(fs::relative(e.path(), folder).string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST_F(RemoteControl, PointerButtonsKeysAndWheelReachAnXClient) {
    XEventRecorder recorder(rig.display());
    ASSERT_TRUE(recorder.ok());
    start_agent();
    TestViewer viewer;
    ASSERT_TRUE(viewer.join(rig));

    ASSERT_TRUE(viewer.session.send_mouse(32767, 32767, 0, MouseAction::Move));
    int x = -1, y = -1;
    ASSERT_TRUE(wait_until([&] { return recorder.pointer(x, y) && std::abs(x - 640) <= 1 && std::abs(y - 360) <= 1; }, 10s))
        << x << "," << y;

    viewer.session.send_mouse(32767, 32767, 0, MouseAction::Down);
    viewer.session.send_mouse(32767, 32767, 0, MouseAction::Up);
    viewer.session.send_mouse(32767, 32767, 1, MouseAction::Down);
    viewer.session.send_mouse(32767, 32767, 1, MouseAction::Up);
    EXPECT_TRUE(recorder.wait_for([](const auto& e) { return e.type == ButtonRelease && e.detail == 1; }));
    EXPECT_TRUE(recorder.wait_for([](const auto& e) { return e.type == ButtonRelease && e.detail == 3; }));

    viewer.session.send_key(0x41, 0x1E, false);  // 'A'
    viewer.session.send_key(0x41, 0x1E, true);
    EXPECT_TRUE(recorder.wait_for([](const auto& e) { return e.type == KeyRelease && e.keysym == XK_a; }));

    viewer.session.send_mouse(32767, 32767, 0, MouseAction::Wheel, 120);
    EXPECT_TRUE(recorder.wait_for([](const auto& e) { return e.type == ButtonPress && e.detail == 4; }));
    for (int i = 0; i < 4; ++i) viewer.session.send_mouse(32767, 32767, 0, MouseAction::Wheel, -30);
    EXPECT_TRUE(recorder.wait_for([](const auto& e) { return e.type == ButtonPress && e.detail == 5; }));
    EXPECT_EQ(recorder.count(ButtonPress, 5), 1u) << "four deltas of -30 make exactly one notch";
}

TEST_F(RemoteControl, KeysHeldByALeavingViewerAreReleased) {
    XEventRecorder recorder(rig.display());
    ASSERT_TRUE(recorder.ok());
    start_agent();
    auto viewer = std::make_unique<TestViewer>();
    ASSERT_TRUE(viewer->join(rig));
    viewer->session.send_key(0x10, 0x2A, false);  // Shift down, never released by the viewer
    ASSERT_TRUE(recorder.wait_for([](const auto& e) { return e.type == KeyPress && e.keysym == XK_Shift_L; }));
    viewer.reset();  // the viewer goes away
    EXPECT_TRUE(recorder.wait_for([](const auto& e) { return e.type == KeyRelease && e.keysym == XK_Shift_L; }, 1, 10s));
}

TEST_F(RemoteControl, ClipboardTravelsBothWays) {
    start_agent();
    TestViewer a, b;
    ASSERT_TRUE(a.join(rig));
    ASSERT_TRUE(b.join(rig));

    const std::string from_viewer = "Grüße \xF0\x9F\x98\x80 from the viewer";  // includes U+1F600
    ASSERT_TRUE(a.session.send_clipboard(from_viewer));
    EXPECT_TRUE(wait_until([&] { return run_command({"xclip", "-selection", "clipboard", "-o"}, rig.display(), 3s) == from_viewer; }, 10s));
    // The watcher hands it on to every viewer, the sender included.
    auto has = [](TestViewer& v, const std::string& text) {
        auto c = v.received.clipboards();
        return std::count(c.begin(), c.end(), text);
    };
    EXPECT_TRUE(wait_until([&] { return has(a, from_viewer) >= 1 && has(b, from_viewer) >= 1; }, 5s));

    const std::string from_host = "copied on the host \xF0\x9F\x93\x8B";
    Process xclip;
    ASSERT_TRUE(xclip.start({"sh", "-c", "printf '%s' \"$TEXT\" | xclip -selection clipboard -i"},
                            {{"DISPLAY", rig.display()}, {"TEXT", from_host}}));
    ASSERT_TRUE(wait_until([&] { return has(a, from_host) >= 1 && has(b, from_host) >= 1; }, 10s));
    std::this_thread::sleep_for(1500ms);  // three more polls: no repeats
    EXPECT_EQ(has(a, from_host), 1);
    EXPECT_EQ(has(b, from_host), 1);
}

TEST_F(RemoteControl, UploadsArriveWholeAndStayInsideTheFolder) {
    start_agent();
    TestViewer viewer;
    ASSERT_TRUE(viewer.join(rig));

    std::vector<uint8_t> big(50u * 1024 * 1024);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i + 8 <= big.size(); i += 8) {
        uint64_t v = rng();
        std::memcpy(&big[i], &v, 8);
    }
    upload(viewer.session, "big.bin", big);
    ASSERT_TRUE(rig.agent().wait_for_output("File transfer complete: ", 120s)) << rig.agent().out();
    ASSERT_TRUE(wait_until([&] { return fs::exists(upload_folder() / "big.bin"); }, 10s));
    EXPECT_EQ(sha256_of(read_bytes(upload_folder() / "big.bin")), sha256_of(big));

    // Hostile names land inside the folder under their last component.
    const std::vector<uint8_t> small = {'h', 'i', '\n'};
    upload(viewer.session, "../../evil.txt", small);
    upload(viewer.session, "sub/dir/a.txt", small);
    upload(viewer.session, "..\\..\\b.txt", small);
    // An existing file is kept; the new upload gets a numbered name.
    upload(viewer.session, "big.bin", small);
    // Two uploads interleaved chunk by chunk.
    std::vector<uint8_t> one(300000, 0x11), two(200000, 0x22);
    for (size_t off = 0; off < one.size(); off += 65536) {
        viewer.session.send_file_chunk("one.dat", off, one.size(),
                                       std::vector<uint8_t>(one.begin() + off, one.begin() + std::min(one.size(), off + 65536)));
        if (off < two.size())
            viewer.session.send_file_chunk("two.dat", off, two.size(),
                                           std::vector<uint8_t>(two.begin() + off, two.begin() + std::min(two.size(), off + 65536)));
    }
    ASSERT_TRUE(wait_until([&] { return fs::exists(upload_folder() / "one.dat") && fs::exists(upload_folder() / "two.dat") &&
                                        fs::exists(upload_folder() / "big (1).bin") && fs::exists(upload_folder() / "b.txt"); },
                           20s))
        << rig.agent().out();
    EXPECT_EQ(read_bytes(upload_folder() / "one.dat"), one);
    EXPECT_EQ(read_bytes(upload_folder() / "two.dat"), two);
    EXPECT_EQ(read_bytes(upload_folder() / "big (1).bin"), small);
    EXPECT_EQ(sha256_of(read_bytes(upload_folder() / "big.bin")), sha256_of(big));
    EXPECT_EQ(names_in(upload_folder()),
              (std::vector<std::string>{"a.txt", "b.txt", "big (1).bin", "big.bin", "evil.txt", "one.dat", "two.dat"}));
    EXPECT_FALSE(fs::exists(fs::path(downloads) / "evil.txt"));
    EXPECT_FALSE(fs::exists(rig.dir() / "evil.txt"));
}

TEST_F(RemoteControl, StatisticsEveryTwoSecondsWithPlausibleValues) {
    start_agent();
    TestViewer viewer;
    ASSERT_TRUE(viewer.join(rig));
    ASSERT_TRUE(wait_until([&] { return viewer.received.stats().size() >= 3; }, 15s));

    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t total_kib = 0;
    while (meminfo >> key) {
        if (key == "MemTotal:") {
            meminfo >> total_kib;
            break;
        }
    }
    size_t procs = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string n = e.path().filename().string();
        procs += !n.empty() && std::all_of(n.begin(), n.end(), ::isdigit);
    }
    for (const auto& raw : viewer.received.raw())
        if (!raw.empty() && raw[0] == 0x0F) {
            EXPECT_EQ(raw.size(), 25u);
        }
    for (const auto& s : viewer.received.stats()) {
        EXPECT_EQ(s.mem_total_mb, total_kib / 1024);
        EXPECT_GT(s.mem_used_mb, 0u);
        EXPECT_LE(s.mem_used_mb, s.mem_total_mb);
        EXPECT_LE(s.cpu_percent_x100, 10000u);
        EXPECT_GT(s.process_count, 0u);
        EXPECT_LT(std::abs(static_cast<long>(s.process_count) - static_cast<long>(procs)), 50) << procs;
    }
}
