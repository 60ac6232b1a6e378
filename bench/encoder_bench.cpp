#include <benchmark/benchmark.h>

#include <algorithm>

#include <spdlog/spdlog.h>

#include "bench/synthetic_desktop.h"
#include "media/encoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {

constexpr uint32_t W = 1920;
constexpr uint32_t H = 1080;

// BGRA -> encoder input frame. Arguments: pixel format, extra stride bytes per row.
void BM_ConvertBgra(benchmark::State& state) {
    const auto format = static_cast<AVPixelFormat>(state.range(0));
    SyntheticDesktop desktop(W, H, W * 4 + static_cast<uint32_t>(state.range(1)));
    FrameConverter converter;
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = static_cast<int>(W);
    frame->height = static_cast<int>(H);
    if (!converter.init(W, H, format) || av_frame_get_buffer(frame, 0) < 0) {
        state.SkipWithError("converter setup failed");
    } else {
        for (auto _ : state) {
            converter.convert(desktop.data(), desktop.stride(), frame);
            benchmark::DoNotOptimize(frame->data[0][0]);
        }
    }
    av_frame_free(&frame);
    state.SetLabel(format == AV_PIX_FMT_NV12 ? "nv12" : "yuv420p");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * int64_t{W} * H * 4);
}
BENCHMARK(BM_ConvertBgra)
    ->ArgNames({"fmt", "pad"})
    ->Args({AV_PIX_FMT_YUV420P, 0})
    ->Args({AV_PIX_FMT_YUV420P, 256})
    ->Args({AV_PIX_FMT_NV12, 0})
    ->Unit(benchmark::kMillisecond);

// SwEncoder::encode (conversion included) on a desktop with a moving region.
// Argument: bit rate in kbit/s.
void BM_SwEncoderEncode(benchmark::State& state) {
    spdlog::set_level(spdlog::level::warn);
    SwEncoder encoder;
    SyntheticDesktop desktop(W, H);
    if (!encoder.init(W, H, 30, static_cast<uint32_t>(state.range(0)))) {
        state.SkipWithError("encoder init failed");
        return;
    }
    std::vector<uint8_t> out;
    uint64_t bytes = 0;
    uint32_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        desktop.advance(n++);
        state.ResumeTiming();
        bool key = false;
        if (encoder.encode(desktop.data(), desktop.stride(), out, key)) bytes += out.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes_per_frame"] =
        benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(std::max<uint32_t>(n, 1)));
}
BENCHMARK(BM_SwEncoderEncode)->ArgName("kbps")->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The encoder's floor: a picture in which nothing changed (no conversion, every
// macroblock a skip). The CPU column counts libx264's threads too.
void BM_SwEncoderUnchanged(benchmark::State& state) {
    spdlog::set_level(spdlog::level::warn);
    SwEncoder encoder;
    SyntheticDesktop desktop(W, H);
    std::vector<uint8_t> out;
    bool key = false;
    if (!encoder.init(W, H, 30, 4000) || !encoder.encode(desktop.data(), desktop.stride(), out, key)) {
        state.SkipWithError("encoder init failed");
        return;
    }
    const std::vector<DamageRect> nothing;
    for (auto _ : state) {
        encoder.encode_changed(desktop.data(), desktop.stride(), nothing, out, key);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SwEncoderUnchanged)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
