// The command-line viewer's audio options and summary lines.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/process.h"
#include "viewer/viewer_cli.h"

using testsupport::TempDir;

TEST(ViewerCliAudio, OptionsAndSummary) {
    TempDir dir;
    ViewerCliOptions o;
    std::string msg;
    ASSERT_EQ(parse_viewer_cli({"--server", "http://h:1", "--token", "t", "--audio-wav", dir / "a.wav",
                                "--audio-format", "f32"},
                               o, msg),
              CliParse::run)
        << msg;
    EXPECT_EQ(o.audio_wav, dir / "a.wav");
    EXPECT_EQ(o.audio_encoding, SampleEncoding::F32);
    for (auto bad : std::vector<std::vector<std::string>>{{"--audio-format", "s24"},
                                                          {"--audio-wav", dir / "missing/a.wav"},
                                                          {"--audio-wav", ""}}) {
        ViewerCliOptions b;
        std::vector<std::string> args = {"--server", "x", "--token", "t"};
        args.insert(args.end(), bad.begin(), bad.end());
        EXPECT_EQ(parse_viewer_cli(args, b, msg), CliParse::error) << bad.back();
    }

    ViewerSummary s;
    EXPECT_NE(summary_text(s).find("Audio: none received"), std::string::npos);
    s.audio = AudioSummary{200, 384000, 48000, 2, 2.0, 0};
    EXPECT_NE(summary_text(s).find("Audio: 48000 Hz, 2 channel(s), 2.00 s of sound in 200 chunks\n"),
              std::string::npos)
        << summary_text(s);
    auto j = nlohmann::json::parse(summary_json(s));
    EXPECT_EQ(j["audio"]["chunks"], 200);
    EXPECT_EQ(j["audio"]["sample_rate"], 48000);
    EXPECT_EQ(j["audio"]["channels"], 2);
    EXPECT_DOUBLE_EQ(j["audio"]["seconds"].get<double>(), 2.0);
}
