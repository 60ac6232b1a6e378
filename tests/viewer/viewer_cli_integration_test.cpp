// The command-line viewer against the real agent on a virtual display: one run decodes
// the desktop into a PNG, uploads a file and sets the host's clipboard.
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/rig.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

uint32_t big_endian_u32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

std::string host_clipboard(const Rig& rig) {
    Process xclip;
    if (!xclip.start({"xclip", "-selection", "clipboard", "-o"}, {{"DISPLAY", rig.display()}})) return {};
    if (!xclip.wait(3s)) xclip.stop();
    return xclip.out();
}

}  // namespace

TEST(ViewerCliIntegration, SnapshotUploadAndClipboardInOneRun) {
    Rig rig;
    ASSERT_TRUE(rig.start_system(640, 480)) << rig.error();
    ASSERT_TRUE(rig.start_pattern("--static")) << rig.error();
    const std::string downloads = rig.dir() / "downloads";
    fs::create_directories(downloads);
    ASSERT_TRUE(rig.start_agent({{"XDG_DOWNLOAD_DIR", downloads}})) << rig.error();

    // 1.5 MB that repeat nowhere: 25 chunks of 60000, large enough for progress lines.
    std::string payload(1500000, '\0');
    uint32_t state = 12345;
    for (auto& c : payload) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    const std::string source = rig.dir() / "source file.bin";
    write_file(source, payload);
    const std::string png = rig.dir() / "out.png";
    const std::string text = "from the command line";

    std::vector<std::string> args = rig.viewer_args();
    for (const std::string& a : {std::string("--seconds"), std::string("4"), std::string("--snapshot"), png,
                                 std::string("--clipboard"), text, std::string("--upload"), source,
                                 std::string("--upload-name"), std::string("arrived.bin"),
                                 std::string("--chunk-size"), std::string("60000")})
        args.push_back(a);
    Process viewer;
    ASSERT_TRUE(viewer.start(args));
    auto rc = viewer.wait(30s);
    if (!rc) viewer.stop();
    ASSERT_EQ(rc, 0) << viewer.out() << viewer.err();

    const std::string out = viewer.out();
    EXPECT_NE(out.find("Snapshot written to " + png + " (640x480)"), std::string::npos) << out;
    EXPECT_NE(out.find("Video: 640x480, "), std::string::npos) << out;
    EXPECT_NE(out.find("Upload arrived.bin: 10% (180000 of 1500000 bytes)"), std::string::npos) << out;
    EXPECT_NE(out.find("Upload arrived.bin: 100% (1500000 of 1500000 bytes)"), std::string::npos) << out;
    size_t progress_lines = 0;
    for (size_t at = out.find("Upload arrived.bin: "); at != std::string::npos; at = out.find("Upload arrived.bin: ", at + 1))
        ++progress_lines;
    EXPECT_EQ(progress_lines, 10u) << out;
    EXPECT_NE(out.find("Uploaded arrived.bin (1500000 bytes)"), std::string::npos) << out;
    // The host hands its new clipboard back to every viewer, this one included.
    EXPECT_NE(out.find("Clipboard: " + text), std::string::npos) << out;

    // A PNG: signature, then the IHDR chunk with the desktop's size, and the end chunk.
    const std::string image = read_file(png);
    ASSERT_GE(image.size(), 45u);
    EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(image.substr(12, 4), "IHDR");
    EXPECT_EQ(big_endian_u32(image, 16), 640u);
    EXPECT_EQ(big_endian_u32(image, 20), 480u);
    EXPECT_EQ(image.substr(image.size() - 8, 4), "IEND");

    const fs::path arrived = fs::path(downloads) / "Vantor" / "arrived.bin";
    ASSERT_TRUE(wait_until([&] { return fs::exists(arrived); }, 10s)) << rig.agent().out();
    EXPECT_TRUE(read_file(arrived.string()) == payload) << "the upload arrived altered";
    EXPECT_TRUE(wait_until([&] { return host_clipboard(rig) == text; }, 10s));
}
