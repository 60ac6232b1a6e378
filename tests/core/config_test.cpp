#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "app/config.h"
#include "tests/support/log_capture.h"

namespace fs = std::filesystem;

namespace {

// Points APPDATA at a fresh temporary folder for one test.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("zarvex-config-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        base_ = root_ / "nested" / "appdata";
        setenv("APPDATA", base_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("APPDATA");
        fs::remove_all(root_);
    }
    fs::path file() const { return base_ / "VantorAgent" / "config.json"; }
    void write(const std::string& text) {
        fs::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary) << text;
    }
    std::string read() const {
        std::ifstream in(file(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path root_, base_;
};

}  // namespace

TEST_F(ConfigTest, FirstRunCreatesFolderAndFileWithNewIdentifier) {
    LogCapture log;
    AgentConfig c;
    ASSERT_TRUE(load_config(c));
    EXPECT_TRUE(std::regex_match(c.machine_id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    EXPECT_TRUE(log.contains("info|No config file found at " + file().string() + ", using defaults"));
    EXPECT_TRUE(log.contains("info|Config saved to " + file().string()));
    ASSERT_TRUE(fs::exists(file()));
    EXPECT_EQ(read(), serialize_config(c));

    // A second load reads it back without writing.
    auto written = fs::last_write_time(file());
    AgentConfig again;
    ASSERT_TRUE(load_config(again));
    EXPECT_EQ(again.machine_id, c.machine_id);
    EXPECT_EQ(fs::last_write_time(file()), written);
}

TEST(MachineId, IdentifiersDiffer) {
    std::string a = generate_machine_id(), b = generate_machine_id();
    EXPECT_EQ(a.size(), 36u);
    EXPECT_NE(a, b);
}

TEST_F(ConfigTest, ExactFileText) {
    AgentConfig c;
    c.server_url = "https://relay.example:8443";
    c.machine_id = "m";
    c.auth_token = "tok";
    c.machine_name = "Büro-PC \xF0\x9F\x96\xA5";
    c.target_fps = 60;
    c.bitrate_kbps = 2500;
    ASSERT_TRUE(save_config(c));
    EXPECT_EQ(read(),
              "{\n"
              "  \"auth_token\": \"tok\",\n"
              "  \"bitrate_kbps\": 2500,\n"
              "  \"machine_id\": \"m\",\n"
              "  \"machine_name\": \"Büro-PC \xF0\x9F\x96\xA5\",\n"
              "  \"server_url\": \"https://relay.example:8443\",\n"
              "  \"target_fps\": 60\n"
              "}");
    AgentConfig back;
    ASSERT_TRUE(load_config(back));
    EXPECT_EQ(back.machine_name, c.machine_name);
    EXPECT_EQ(back.target_fps, 60u);
    EXPECT_EQ(back.bitrate_kbps, 2500u);
}

TEST_F(ConfigTest, PartialFileKeepsDefaultsAndIsNotRewritten) {
    write(R"({"server_url": "http://localhost:9000", "unknown": [1,2]})");
    LogCapture log;
    AgentConfig c;
    ASSERT_TRUE(load_config(c));
    EXPECT_EQ(c.server_url, "http://localhost:9000");
    EXPECT_EQ(c.machine_id, "");
    EXPECT_EQ(c.target_fps, 30u);
    EXPECT_EQ(c.bitrate_kbps, 4000u);
    EXPECT_TRUE(log.contains("info|Config loaded from " + file().string()));
    EXPECT_EQ(read(), R"({"server_url": "http://localhost:9000", "unknown": [1,2]})");
}

TEST_F(ConfigTest, NumericKeyRules) {
    AgentConfig c;
    write(R"({"target_fps": 24.9, "bitrate_kbps": true})");
    ASSERT_TRUE(load_config(c));
    EXPECT_EQ(c.target_fps, 24u);
    EXPECT_EQ(c.bitrate_kbps, 1u);

    write(R"({"target_fps": 0})");
    ASSERT_TRUE(load_config(c));
    EXPECT_EQ(c.target_fps, 0u);  // kept as stored; the runtime substitutes

    LogCapture log;
    write(R"({"target_fps": "30"})");
    EXPECT_FALSE(load_config(c));
    EXPECT_TRUE(log.contains("error|Failed to parse config: "));
    write(R"({"target_fps": 1e300})");
    EXPECT_FALSE(load_config(c));

    // Integers out of range are refused like floats, not wrapped round.
    for (const char* text : {R"({"target_fps": -1})", R"({"bitrate_kbps": 4294967296})",
                             R"({"bitrate_kbps": 18446744073709551615})", R"({"target_fps": -9223372036854775808})"}) {
        write(text);
        EXPECT_FALSE(load_config(c)) << text;
    }
    write(R"({"target_fps": 4294967295, "bitrate_kbps": -0.5})");
    ASSERT_TRUE(load_config(c));
    EXPECT_EQ(c.target_fps, 4294967295u);
    EXPECT_EQ(c.bitrate_kbps, 0u);
}

TEST_F(ConfigTest, MalformedFilesFailAndStayUntouched) {
    for (const std::string& text : {std::string(""), std::string("{\"machine_id\": null}"),
                                   std::string("{\"server_url\": 5}"), std::string("{ /* c */ }"),
                                   std::string("{\"a\": ")}) {
        write(text);
        LogCapture log;
        AgentConfig c;
        EXPECT_FALSE(load_config(c)) << text;
        EXPECT_TRUE(log.contains("error|Failed to parse config: ")) << text;
        EXPECT_EQ(read(), text);
    }
}

TEST_F(ConfigTest, NonObjectLoadsDefaultsAndTrailingTextIsIgnored) {
    write("[1, 2, 3]");
    AgentConfig c;
    ASSERT_TRUE(load_config(c));
    EXPECT_EQ(c.server_url, DEFAULT_SERVER_URL);
    EXPECT_EQ(c.machine_id, "");

    write(R"({"machine_id": "abc"} trailing garbage)");
    ASSERT_TRUE(load_config(c));
    EXPECT_EQ(c.machine_id, "abc");
}

TEST_F(ConfigTest, UncreatableFolderIsAFailureNotACrash) {
    fs::create_directories(root_);
    std::ofstream(root_ / "nested") << "a file where a folder should be";
    LogCapture log;
    AgentConfig c;
    EXPECT_FALSE(load_config(c));
    EXPECT_FALSE(save_config(c));
    EXPECT_TRUE(log.contains("error|Failed to create config folder: "));
}
