// FileReceiver::handle_chunk on arbitrary message sequences: no crash, no exception, nothing
// written outside the target folder, no folders made inside it and no partial files left
// once the receiver is gone. The input is a list of records; each makes one message, either
// raw bytes or a FileChunk assembled from small fields so that whole transfers (restarts,
// excess bytes, many names) are reached quickly.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <spdlog/spdlog.h>

#include "control/file_receiver.h"
#include "net/protocol.h"

namespace fs = std::filesystem;

namespace {
// Reads the next byte of the input, 0 past its end.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool done() const { return pos >= size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::vector<uint8_t> bytes(size_t n) {
        n = std::min(n, size - std::min(pos, size));
        std::vector<uint8_t> out(data + pos, data + pos + n);
        pos += n;
        return out;
    }
};

std::vector<uint8_t> next_message(Reader& in) {
    const uint8_t kind = in.byte();
    if (kind & 1) return in.bytes(in.byte());  // raw message
    std::vector<uint8_t> name = in.bytes(in.byte() % 12);
    const uint64_t offset = in.byte();  // 0 starts a transfer
    const uint64_t total = in.byte();
    std::vector<uint8_t> chunk = in.bytes(in.byte() % 80);
    MessageWriter w;
    w.write_u8(static_cast<uint8_t>(MessageType::FileChunk));
    w.write_u16(static_cast<uint16_t>(name.size()));
    w.write_bytes(name);
    w.write_u64(offset);
    w.write_u64(total);
    w.write_u32(static_cast<uint32_t>(chunk.size()) + (kind & 2 ? 1 : 0));  // bit 1: one byte short
    w.write_bytes(chunk);
    return w.take();
}

size_t count_entries(const fs::path& dir) {
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    spdlog::set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string root_template = (fs::temp_directory_path() / "fuzz_file_chunk-XXXXXX").string();
    if (!mkdtemp(root_template.data())) std::abort();
    const fs::path root = root_template;
    const fs::path target = root / "out";
    size_t open = 0, before = 0;
    {
        FileReceiver rx(target.string());
        Reader in{data, size};
        while (!in.done()) rx.handle_chunk(next_message(in));
        open = rx.open_transfers();
        before = count_entries(target);
    }
    if (before - count_entries(target) != open) std::abort();  // partial files are removed
    for (const auto& e : fs::directory_iterator(root)) {
        if (e.path() != target) std::abort();
    }
    if (fs::exists(target)) {
        for (const auto& e : fs::directory_iterator(target)) {
            if (!e.is_regular_file()) std::abort();
        }
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
