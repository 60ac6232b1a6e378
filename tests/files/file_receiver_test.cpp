#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "control/file_receiver.h"
#include "net/protocol.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/test_util.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

namespace {

Bytes chunk(const std::string& name, uint64_t offset, uint64_t total, const Bytes& data) {
    MessageWriter w;
    w.write_u8(static_cast<uint8_t>(MessageType::FileChunk));
    w.write_u16(static_cast<uint16_t>(name.size()));
    w.write_bytes(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    w.write_u64(offset);
    w.write_u64(total);
    w.write_u32(static_cast<uint32_t>(data.size()));
    w.write_bytes(data);
    return w.take();
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

Bytes slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(std::min(b.size(), from + n)));
}

// Sends content as name in chunks of chunk_size; true when every chunk was accepted.
bool upload(FileReceiver& rx, const std::string& name, const Bytes& content, size_t chunk_size = 64 * 1024) {
    bool ok = true;
    size_t off = 0;
    do {
        ok = rx.handle_chunk(chunk(name, off, content.size(), slice(content, off, chunk_size))) && ok;
        off += chunk_size;
    } while (off < content.size());
    return ok;
}

Bytes read_bytes(const fs::path& p) {
    std::string s = testsupport::read_file(p.string());
    return Bytes(s.begin(), s.end());
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::string sha256_hex(const Bytes& data) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_sha256(), nullptr);
    digest.resize(len);
    return to_hex(digest);
}

class FileReceiverTest : public ::testing::Test {
protected:
    TempDir tmp;
    fs::path dir = fs::path(tmp.path()) / "target";
    LogCapture logs;
};

TEST_F(FileReceiverTest, LargeUploadArrivesByteIdenticalWithStartAndCompleteLines) {
    const Bytes content = random_bytes(50u << 20, 1);
    FileReceiver rx(dir.string());
    ASSERT_TRUE(upload(rx, "big.bin", content));

    EXPECT_EQ(entries(dir), (std::set<std::string>{"big.bin"}));
    EXPECT_EQ(sha256_hex(read_bytes(dir / "big.bin")), sha256_hex(content));
    EXPECT_TRUE(logs.contains("info|File transfer started: " + (dir / "big.bin").string() + " (52428800 bytes)"));
    EXPECT_TRUE(logs.contains("info|File transfer complete: " + (dir / "big.bin").string() + " (52428800 bytes)"));
    EXPECT_EQ(rx.open_transfers(), 0u);
}

TEST_F(FileReceiverTest, EmptyAndSingleMessageFilesCompleteAtOnce) {
    FileReceiver rx(dir.string());
    ASSERT_TRUE(rx.handle_chunk(chunk("empty.txt", 0, 0, {})));
    EXPECT_TRUE(logs.contains("File transfer started: " + (dir / "empty.txt").string() + " (0 bytes)"));
    EXPECT_TRUE(logs.contains("File transfer complete: " + (dir / "empty.txt").string() + " (0 bytes)"));
    EXPECT_EQ(fs::file_size(dir / "empty.txt"), 0u);

    // Bytes after the chunk data are not part of the file.
    Bytes m = chunk("one.txt", 0, 3, {'a', 'b', 'c'});
    m.push_back('Z');
    ASSERT_TRUE(rx.handle_chunk(m));
    EXPECT_EQ(testsupport::read_file((dir / "one.txt").string()), "abc");
    EXPECT_EQ(rx.open_transfers(), 0u);
}

TEST_F(FileReceiverTest, PathsInNamesNeverLeaveTheTargetFolder) {
    FileReceiver rx(dir.string());
    for (const char* name : {"../../evil.txt", "sub/dir/a.txt", "..\\..\\b.txt", "/etc/c.txt", "C:\\x\\d.txt"})
        ASSERT_TRUE(upload(rx, name, {'x'})) << name;

    EXPECT_EQ(entries(dir), (std::set<std::string>{"evil.txt", "a.txt", "b.txt", "c.txt", "d.txt"}));
    EXPECT_EQ(entries(tmp.path()), (std::set<std::string>{"target"}));
}

TEST_F(FileReceiverTest, ExistingFilesAreKeptAndUploadsGetNumberedNames) {
    fs::create_directories(dir / "notes");
    testsupport::write_file((dir / "report.pdf").string(), "old");
    testsupport::write_file((dir / "README").string(), "old");

    FileReceiver rx(dir.string());
    ASSERT_TRUE(upload(rx, "report.pdf", {'1'}));
    ASSERT_TRUE(upload(rx, "report.pdf", {'2'}));
    ASSERT_TRUE(upload(rx, "README", {'3'}));
    ASSERT_TRUE(upload(rx, "notes", {'4'}));  // a folder of that name is in the way too

    EXPECT_EQ(testsupport::read_file((dir / "report.pdf").string()), "old");
    EXPECT_EQ(testsupport::read_file((dir / "report (1).pdf").string()), "1");
    EXPECT_EQ(testsupport::read_file((dir / "report (2).pdf").string()), "2");
    EXPECT_EQ(testsupport::read_file((dir / "README").string()), "old");
    EXPECT_EQ(testsupport::read_file((dir / "README (1)").string()), "3");
    EXPECT_EQ(testsupport::read_file((dir / "notes (1)").string()), "4");
    EXPECT_TRUE(logs.contains("File transfer complete: " + (dir / "report (1).pdf").string() + " (1 bytes)"));
}

TEST_F(FileReceiverTest, WriteFailureStopsTheTransferAndLeavesNoFile) {
    // Root ignores permissions, so exhaust the file-size limit in a child process instead.
    const Bytes content = random_bytes(4u << 20, 2);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1u << 20, 1u << 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        int faults = 0;
        {
            LogCapture child_logs;
            FileReceiver rx(dir.string());
            if (upload(rx, "big.bin", content)) faults |= 1;  // the failure must be reported
            if (child_logs.count("error|File transfer failed: cannot write " + (dir / "big.bin").string()) != 1)
                faults |= 2;
            if (child_logs.contains("File transfer complete")) faults |= 4;
            if (rx.open_transfers() != 0) faults |= 8;
            if (!entries(dir).empty()) faults |= 16;
        }
        _exit(faults);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: 1 success reported, 2 no error line, 4 complete line, "
                                         "8 transfer left open, 16 partial file left";
    EXPECT_TRUE(entries(dir).empty());
}

TEST_F(FileReceiverTest, FinishedFileThatCannotBeMovedIntoPlaceIsReported) {
    // Too long for a file name here, though the temporary name is short enough.
    const std::string name(300, 'n');
    FileReceiver rx(dir.string());
    EXPECT_FALSE(upload(rx, name, {'1', '2'}, 1));
    EXPECT_EQ(logs.count("error|File transfer failed: cannot move " + (dir / name).string() + " into place"), 1u);
    EXPECT_FALSE(logs.contains("File transfer complete"));
    EXPECT_TRUE(entries(dir).empty());
}

TEST_F(FileReceiverTest, InterleavedUploadsCompleteSeparately) {
    const Bytes a = random_bytes(300000, 3), b = random_bytes(200000, 4);
    FileReceiver rx(dir.string());
    const size_t step = 65536;
    for (size_t off = 0; off < std::max(a.size(), b.size()); off += step) {
        if (off < a.size()) {
            ASSERT_TRUE(rx.handle_chunk(chunk("a.bin", off, a.size(), slice(a, off, step))));
        }
        if (off < b.size()) {
            ASSERT_TRUE(rx.handle_chunk(chunk("b.bin", off, b.size(), slice(b, off, step))));
        }
    }
    EXPECT_EQ(read_bytes(dir / "a.bin"), a);
    EXPECT_EQ(read_bytes(dir / "b.bin"), b);
    EXPECT_EQ(entries(dir).size(), 2u);
}

TEST_F(FileReceiverTest, FirstChunkForAnOpenTransferRestartsIt) {
    const Bytes old_content = random_bytes(1000, 5), new_content = random_bytes(700, 6);
    FileReceiver rx(dir.string());
    ASSERT_TRUE(rx.handle_chunk(chunk("x.bin", 0, old_content.size(), slice(old_content, 0, 400))));
    ASSERT_TRUE(upload(rx, "x.bin", new_content, 300));

    EXPECT_EQ(read_bytes(dir / "x.bin"), new_content);
    EXPECT_EQ(entries(dir), (std::set<std::string>{"x.bin"}));  // the first attempt left nothing behind
    EXPECT_TRUE(logs.contains("info|File transfer restarted: x.bin"));
    EXPECT_FALSE(logs.contains("Cannot open"));
}

TEST_F(FileReceiverTest, BytesBeyondTheAnnouncedSizeAreNotWritten) {
    FileReceiver rx(dir.string());
    ASSERT_TRUE(rx.handle_chunk(chunk("s.txt", 0, 10, {'0', '1', '2', '3', '4', '5'})));
    ASSERT_TRUE(rx.handle_chunk(chunk("s.txt", 6, 10, {'6', '7', '8', '9', 'A', 'B', 'C', 'D'})));
    EXPECT_TRUE(logs.contains("warning|File transfer " + (dir / "s.txt").string() +
                              ": 4 bytes beyond the announced size dropped"));
    EXPECT_TRUE(logs.contains("File transfer complete: " + (dir / "s.txt").string() + " (10 bytes)"));

    // Later continuations find no transfer and change nothing.
    EXPECT_TRUE(rx.handle_chunk(chunk("s.txt", 14, 10, {'E'})));
    EXPECT_EQ(testsupport::read_file((dir / "s.txt").string()), "0123456789");
    EXPECT_EQ(rx.open_transfers(), 0u);
}

TEST_F(FileReceiverTest, OpenTransfersAreCappedAndPartialFilesRemovedAtShutdown) {
    {
        FileReceiver rx(dir.string());
        for (size_t i = 0; i < FileReceiver::MAX_OPEN_TRANSFERS; ++i)
            ASSERT_TRUE(rx.handle_chunk(chunk("f" + std::to_string(i), 0, 2, {'a'})));
        EXPECT_FALSE(rx.handle_chunk(chunk("one-too-many", 0, 2, {'a'})));
        EXPECT_EQ(logs.count("error|Too many open file transfers (32), refusing one-too-many"), 1u);
        EXPECT_EQ(rx.open_transfers(), FileReceiver::MAX_OPEN_TRANSFERS);

        // Restarting an open transfer is not a new one; finishing one makes room.
        EXPECT_TRUE(rx.handle_chunk(chunk("f0", 0, 2, {'a'})));
        EXPECT_TRUE(rx.handle_chunk(chunk("f0", 1, 2, {'b'})));
        EXPECT_TRUE(rx.handle_chunk(chunk("later", 0, 2, {'c'})));
        EXPECT_EQ(entries(dir).size(), FileReceiver::MAX_OPEN_TRANSFERS + 1);  // f0 plus 32 partial files
    }
    EXPECT_EQ(entries(dir), (std::set<std::string>{"f0"}));
}

TEST_F(FileReceiverTest, UnsafeNamesAreRefusedWithOneErrorLineEach) {
    const std::vector<std::string> names = {
        "", "dir/", "..", ".", "a/..", "...", "con", "NUL.txt", "com1.log", "Lpt9", "aux .txt", "a:b",
        "x\x01y", std::string("a\0b.txt", 7), "evil\n.txt"};
    FileReceiver rx(dir.string());
    for (const auto& name : names) EXPECT_FALSE(rx.handle_chunk(chunk(name, 0, 1, {'x'}))) << name;
    EXPECT_EQ(logs.count("error|Refusing file name"), names.size());
    EXPECT_EQ(logs.count("\n"), names.size());
    EXPECT_TRUE(logs.contains("error|Refusing file name x\\x01y\n"));
    EXPECT_EQ(rx.open_transfers(), 0u);
    EXPECT_TRUE(!fs::exists(dir) || entries(dir).empty());
}

TEST_F(FileReceiverTest, MalformedMessagesAreIgnoredSilently) {
    FileReceiver rx(dir.string());
    Bytes good = chunk("m.txt", 0, 4, {'a', 'b', 'c', 'd'});
    Bytes wrong_type = good;
    wrong_type[0] = 0x0A;
    Bytes name_too_long = good;
    name_too_long[1] = 0xFF;
    const std::vector<Bytes> bad = {{},
                                    {0x0B},
                                    {0x0B, 5},
                                    wrong_type,
                                    name_too_long,
                                    slice(good, 0, 23 + 5 - 1),  // header cut short
                                    slice(good, 0, good.size() - 1)};  // data cut short
    for (const auto& m : bad) EXPECT_FALSE(rx.handle_chunk(m)) << to_hex(m);
    EXPECT_EQ(logs.text(), "");
    EXPECT_FALSE(fs::exists(dir));

    // A continuation without an open transfer is accepted and dropped.
    EXPECT_TRUE(rx.handle_chunk(chunk("m.txt", 4, 8, {'e'})));
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_EQ(rx.open_transfers(), 0u);
}

TEST_F(FileReceiverTest, FolderThatCannotBeCreatedIsReportedNotThrown) {
    testsupport::write_file(tmp / "blocker", "a file where a folder should be");
    const fs::path target = fs::path(tmp.path()) / "blocker" / "sub";
    FileReceiver rx(target.string());
    EXPECT_FALSE(rx.handle_chunk(chunk("a.txt", 0, 1, {'x'})));
    EXPECT_FALSE(rx.handle_chunk(chunk("a.txt", 0, 1, {'x'})));  // the lock was released
    EXPECT_EQ(logs.count("error|Cannot open " + (target / "a.txt").string() + " for writing"), 2u);
    EXPECT_EQ(rx.open_transfers(), 0u);
}

}  // namespace
