#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>

#include <gtest/gtest.h>

#include "control/file_receiver.h"
#include "net/log_text.h"
#include "tests/support/process.h"

namespace fs = std::filesystem;
using namespace upload_names;

namespace {

TEST(UploadNames, OrdinaryNamesSurviveSanitising) {
    for (const char* name : {"report.pdf", ".hidden", "a..b", "COM10.txt", "console.txt", "CONX", "LPT0", "über.txt",
                             "sp ace.txt"})
        EXPECT_EQ(sanitize(name), std::optional<std::string>(name)) << name;
    EXPECT_EQ(sanitize("x/y\\z.txt"), std::optional<std::string>("z.txt"));
}

TEST(UploadNames, UniqueNumbersBeforeTheLastExtension) {
    std::set<std::string> taken = {"a.tar.gz", "a.tar (1).gz", ".bashrc", "notes"};
    auto exists = [&](const std::string& n) { return taken.count(n) > 0; };
    EXPECT_EQ(unique("free.txt", exists), "free.txt");
    EXPECT_EQ(unique("a.tar.gz", exists), "a.tar (2).gz");
    EXPECT_EQ(unique(".bashrc", exists), ".bashrc (1)");
    EXPECT_EQ(unique("notes", exists), "notes (1)");
    EXPECT_EQ(unique("full", [](const std::string&) { return true; }), std::nullopt);
}

TEST(UploadNames, PrintableEscapesControlBytesAndCutsLongNames) {
    EXPECT_EQ(log_text(std::string("a\0b\x7f\n", 5)), "a\\x00b\\x7F\\n");
    EXPECT_EQ(log_text(std::string(500, 'x')), std::string(200, 'x') + "... (300 more bytes)");
}

TEST(UploadNames, XdgDownloadDirFromUserDirsText) {
    const std::string home = "/home/u";
    EXPECT_EQ(xdg_download_dir("# written by a tool\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                               "XDG_DOWNLOAD_DIR=\"$HOME/T\xC3\xA9l\xC3\xA9" "chargements\"\n",
                               home),
              "/home/u/T\xC3\xA9l\xC3\xA9" "chargements");
    EXPECT_EQ(xdg_download_dir("  XDG_DOWNLOAD_DIR = \"/data/dl\"\r\n", home), "/data/dl");
    EXPECT_EQ(xdg_download_dir("XDG_DOWNLOAD_DIR=\"${HOME}/My \\\"Files\\\"\"", home), "/home/u/My \"Files\"");
    EXPECT_EQ(xdg_download_dir("XDG_DOWNLOAD_DIR=\"$HOME\"", home), "/home/u");
    EXPECT_EQ(xdg_download_dir("XDG_DOWNLOAD_DIR=\"/a\"\nXDG_DOWNLOAD_DIR=\"/b\"\n", home), "/b");

    EXPECT_EQ(xdg_download_dir("", home), std::nullopt);
    EXPECT_EQ(xdg_download_dir("#XDG_DOWNLOAD_DIR=\"/a\"", home), std::nullopt);
    EXPECT_EQ(xdg_download_dir("XDG_DOWNLOAD_DIR=\"relative/dl\"", home), std::nullopt);
    EXPECT_EQ(xdg_download_dir("XDG_DOWNLOAD_DIR=\"$HOMEX/dl\"", home), std::nullopt);
    EXPECT_EQ(xdg_download_dir("XDG_DOWNLOAD_DIR=\"/unterminated", home), std::nullopt);
    EXPECT_EQ(xdg_download_dir("XDG_DOWNLOAD_DIRX=\"/a\"", home), std::nullopt);
}

// Sets environment variables for the life of the object and puts the old values back.
class EnvOverride {
public:
    void set(const std::string& name, const char* value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }
    ~EnvOverride() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(DownloadFolder, FollowsXdgSettingsAndCreatesTheFolder) {
    testsupport::TempDir home;
    EnvOverride env;
    env.set("HOME", home.path().c_str());
    env.set("XDG_CONFIG_HOME", nullptr);
    env.set("XDG_DOWNLOAD_DIR", nullptr);

    EXPECT_EQ(download_folder(), home / "Downloads/Vantor");
    EXPECT_TRUE(fs::is_directory(home / "Downloads/Vantor"));

    fs::create_directories(home / ".config");
    testsupport::write_file(home / ".config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n");
    EXPECT_EQ(download_folder(), home / "Fetched/Vantor");

    fs::create_directories(home / "cfg");
    testsupport::write_file(home / "cfg/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Other\"\n");
    env.set("XDG_CONFIG_HOME", (home / "cfg").c_str());
    EXPECT_EQ(download_folder(), home / "Other/Vantor");

    env.set("XDG_DOWNLOAD_DIR", (home / "Env").c_str());
    EXPECT_EQ(download_folder(), home / "Env/Vantor");

    // A file where the folder should be is an error the receiver catches.
    testsupport::write_file(home / "Blocked", "");
    env.set("XDG_DOWNLOAD_DIR", (home / "Blocked").c_str());
    EXPECT_THROW(download_folder(), fs::filesystem_error);
}

}  // namespace
