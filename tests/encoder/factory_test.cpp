#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/encoder.h"
#include "tests/support/log_capture.h"

namespace {

// Encoder stand-in whose init succeeds or fails on demand and records the call.
class FakeEncoder : public IEncoder {
public:
    FakeEncoder(std::string name, bool opens, std::vector<std::string>& events)
        : name_(std::move(name)), opens_(opens), events_(events) {}
    bool init(uint32_t width, uint32_t height, uint32_t fps, uint32_t kbps) override {
        events_.push_back("init " + name_ + " " + std::to_string(width) + "x" + std::to_string(height) + "@" +
                          std::to_string(fps) + "/" + std::to_string(kbps));
        return opens_;
    }
    bool encode(const uint8_t*, uint32_t, std::vector<uint8_t>&, bool&) override { return false; }
    void set_bitrate(uint32_t) override {}
    void request_keyframe() override {}
    void close() override {}
    std::string name() const override { return name_; }

private:
    std::string name_;
    bool opens_;
    std::vector<std::string>& events_;
};

// A factory over stand-ins: present = codecs the probe reports, opening = codecs whose init succeeds.
struct Scenario {
    std::vector<std::string> present;
    std::vector<std::string> opening;
    bool software_opens = true;
    std::vector<std::string> events;

    static bool has(const std::vector<std::string>& list, const std::string& name) {
        return std::find(list.begin(), list.end(), name) != list.end();
    }
    EncoderFactory factory() {
        EncoderFactory f;
        f.probe = [this](const std::string& name) {
            events.push_back("probe " + name);
            return has(present, name);
        };
        f.make_hardware = [this](const std::string& name) {
            return std::make_unique<FakeEncoder>(name, has(opening, name), events);
        };
        f.make_software = [this] { return std::make_unique<FakeEncoder>("sw", software_opens, events); };
        return f;
    }
};

TEST(CreateEncoder, WithoutHardwareFallsBackToSoftwareQuietly) {
    LogCapture logs;
    Scenario s;
    auto encoder = create_encoder(1920, 1080, 30, 4000, s.factory());
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->name(), "sw");
    EXPECT_EQ(s.events, (std::vector<std::string>{"probe h264_nvenc", "probe h264_amf", "probe h264_qsv",
                                                  "init sw 1920x1080@30/4000"}));
    EXPECT_EQ(logs.text(), "info|No hardware encoder available, falling back to x264\n");
}

TEST(CreateEncoder, FailedHardwareInitIsReportedAndTheNextCandidateTried) {
    LogCapture logs;
    Scenario s;
    s.present = {"h264_nvenc", "h264_amf", "h264_qsv"};
    s.opening = {"h264_amf", "h264_qsv"};
    auto encoder = create_encoder(1280, 720, 60, 8000, s.factory());
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->name(), "h264_amf");
    EXPECT_EQ(s.events, (std::vector<std::string>{"probe h264_nvenc", "init h264_nvenc 1280x720@60/8000",
                                                  "probe h264_amf", "init h264_amf 1280x720@60/8000"}));
    EXPECT_EQ(logs.text(),
              "warning|Hardware encoder h264_nvenc failed to initialize, trying next\n"
              "info|Using hardware encoder: h264_amf\n");
}

TEST(CreateEncoder, NothingOpensGivesNull) {
    LogCapture logs;
    Scenario s;
    s.present = {"h264_qsv"};
    s.software_opens = false;
    EXPECT_FALSE(create_encoder(640, 480, 30, 1000, s.factory()));
    EXPECT_EQ(logs.text(),
              "warning|Hardware encoder h264_qsv failed to initialize, trying next\n"
              "info|No hardware encoder available, falling back to x264\n"
              "error|No suitable encoder found\n");
}

TEST(CreateEncoder, RealProbeOpensAWorkingEncoder) {
    LogCapture logs;
    auto encoder = create_encoder(320, 240, 30, 2000);
    ASSERT_TRUE(encoder);
    if (encoder->name() == "x264 (software)") {
        EXPECT_TRUE(logs.contains("info|No hardware encoder available, falling back to x264"));
        EXPECT_FALSE(logs.contains("Hardware encoder"));  // probe failures stay silent
    } else {
        EXPECT_TRUE(logs.contains("info|Using hardware encoder: " + encoder->name()));
    }
    std::vector<uint8_t> picture(320 * 240 * 4, 0x80), out;
    bool key = false;
    for (int i = 0; i < 100 && out.empty(); ++i) encoder->encode(picture.data(), 320 * 4, out, key);
    EXPECT_FALSE(out.empty());
}

}  // namespace
