#include "media/encoder.h"

#include <utility>

#include <spdlog/spdlog.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace {

bool is_qsv(const std::string& codec_name) { return codec_name == "h264_qsv"; }

int hardware_pixel_format(const std::string& codec_name) {
    return is_qsv(codec_name) ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
}

std::string hardware_display_name(const std::string& codec_name) {
    if (codec_name == "h264_nvenc") return "NVENC (NVIDIA hardware)";
    if (codec_name == "h264_amf") return "AMF (AMD hardware)";
    if (codec_name == "h264_qsv") return "QuickSync (Intel hardware)";
    return codec_name;
}

// Low-latency options per hardware encoder, in the order they are set.
AVDictionary* hardware_options(const std::string& codec_name) {
    AVDictionary* options = nullptr;
    auto set = [&](const char* key, const char* value) { av_dict_set(&options, key, value, 0); };
    if (codec_name == "h264_nvenc") {
        set("preset", "p1");
        set("tune", "ull");
        set("rc", "cbr");
        set("zerolatency", "1");
        set("delay", "0");
        set("profile", "baseline");
        set("forced-idr", "1");
    } else if (codec_name == "h264_amf") {
        set("usage", "ultralowlatency");
        set("quality", "speed");
        set("rc", "cbr");
        set("profile", "baseline");
        set("forced_idr", "1");
    } else if (is_qsv(codec_name)) {
        set("preset", "veryfast");
        set("look_ahead", "0");
        set("profile", "baseline");
        set("forced_idr", "1");
    }
    return options;
}

}  // namespace

HwEncoder::HwEncoder(std::string codec_name)
    : FfmpegEncoder(false), codec_name_(std::move(codec_name)), display_name_(hardware_display_name(codec_name_)) {}

bool HwEncoder::init(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_kbps) {
    auto* log = spdlog::default_logger_raw();
    if (!EncoderCore::check_parameters(width, height, fps)) return false;

    const AVCodec* codec = avcodec_find_encoder_by_name(codec_name_.c_str());
    if (!codec) {
        log->error("Hardware codec {} not found", codec_name_);
        return false;
    }
    if (!core_.configure(codec, width, height, fps, bitrate_kbps, hardware_pixel_format(codec_name_))) return false;

    AVDictionary* options = hardware_options(codec_name_);
    if (int rc = core_.open(codec, &options); rc < 0) {
        char text[256] = {};
        av_strerror(rc, text, sizeof(text));
        log->error("Failed to open hardware codec {}: {}", codec_name_, text);
        return false;
    }
    if (!core_.allocate_buffers("Failed to create color converter for hw encoder")) return false;

    log->info("Hardware encoder initialized: {} {}x{} @ {} fps, {} kbps", display_name_, width, height, fps,
              bitrate_kbps);
    return true;
}

namespace {

// FFmpeg writes its own chatter (codec banners, driver complaints) to stderr. The agent
// reports encoder outcomes in its own log, so keep only FFmpeg's errors, and nothing at
// all while probing, where failing is the expected answer.
void quiet_ffmpeg_log() {
    if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
}

class SilentFfmpegLog {
public:
    SilentFfmpegLog() : previous_(av_log_get_level()) { av_log_set_level(AV_LOG_QUIET); }
    ~SilentFfmpegLog() { av_log_set_level(previous_); }
    SilentFfmpegLog(const SilentFfmpegLog&) = delete;
    SilentFfmpegLog& operator=(const SilentFfmpegLog&) = delete;

private:
    int previous_;
};

}  // namespace

bool probe_hardware_codec(const std::string& codec_name) {
    SilentFfmpegLog silent;
    const AVCodec* codec = avcodec_find_encoder_by_name(codec_name.c_str());
    if (!codec) return false;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (!context) return false;
    context->width = 1280;
    context->height = 720;
    context->time_base = AVRational{1, 30};
    context->framerate = AVRational{30, 1};
    context->pix_fmt = static_cast<AVPixelFormat>(hardware_pixel_format(codec_name));
    context->bit_rate = 1000000;
    bool opened = avcodec_open2(context, codec, nullptr) >= 0;
    avcodec_free_context(&context);
    return opened;
}

std::unique_ptr<IEncoder> create_encoder(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate_kbps,
                                         const EncoderFactory& factory) {
    auto* log = spdlog::default_logger_raw();
    quiet_ffmpeg_log();
    for (const char* codec_name : HARDWARE_ENCODER_CANDIDATES) {
        bool present = factory.probe ? factory.probe(codec_name) : probe_hardware_codec(codec_name);
        if (!present) continue;
        std::unique_ptr<IEncoder> encoder =
            factory.make_hardware ? factory.make_hardware(codec_name) : std::make_unique<HwEncoder>(codec_name);
        if (encoder && encoder->init(width, height, fps, bitrate_kbps)) {
            log->info("Using hardware encoder: {}", encoder->name());
            return encoder;
        }
        log->warn("Hardware encoder {} failed to initialize, trying next", codec_name);
    }

    log->info("No hardware encoder available, falling back to x264");
    std::unique_ptr<IEncoder> encoder =
        factory.make_software ? factory.make_software() : std::make_unique<SwEncoder>();
    if (encoder && encoder->init(width, height, fps, bitrate_kbps)) return encoder;
    log->error("No suitable encoder found");
    return nullptr;
}
