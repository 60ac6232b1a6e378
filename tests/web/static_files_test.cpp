// The relay's /app/ file serving: types and headers a browser relies on, revalidation,
// and nothing outside the dashboard's folder ever served.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "relay/static_files.h"
#include "tests/support/process.h"

using relay::StaticFiles;
using relay::StaticResponse;
namespace fs = std::filesystem;

namespace {

std::string header(const StaticResponse& r, const std::string& name) {
    for (const auto& [n, v] : r.headers)
        if (n == name) return v;
    return {};
}

class StaticFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = dir / "web";
        fs::create_directories(root + "/js");
        put(root + "/index.html", "<!doctype html><title>x</title>");
        put(root + "/js/app.js", "export const a = 1;\n");
        put(root + "/app.css", "body{}");
        put(root + "/icon.svg", "<svg/>");
        put(root + "/.env", "secret");
        put(dir / "secret.txt", "outside");
        fs::create_symlink(dir / "secret.txt", root + "/link.txt");
    }
    static void put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

    testsupport::TempDir dir{"zarvex-static"};
    std::string root;
};

}  // namespace

TEST_F(StaticFilesTest, ServesTheDashboardWithTypesCachingAndAStrictPolicy) {
    StaticFiles files(root);
    auto index = files.serve("GET", "/app/", "");
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.body, "<!doctype html><title>x</title>");
    EXPECT_EQ(header(index, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(header(index, "Cache-Control"), "no-cache");
    EXPECT_EQ(header(index, "X-Content-Type-Options"), "nosniff");
    const std::string csp = header(index, "Content-Security-Policy");
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos);
    EXPECT_NE(csp.find("connect-src 'self'"), std::string::npos);
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos);
    EXPECT_EQ(csp.find("unsafe"), std::string::npos) << csp;

    EXPECT_EQ(header(files.serve("GET", "/app/js/app.js", ""), "Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(header(files.serve("GET", "/app/app.css", ""), "Content-Type"), "text/css; charset=utf-8");
    EXPECT_EQ(header(files.serve("GET", "/app/icon.svg", ""), "Content-Type"), "image/svg+xml");
    EXPECT_EQ(files.serve("GET", "/app/js/%61pp.js", "").status, 200) << "escapes are decoded";

    // Revalidation: the same ETag answers 304 without a body; a changed file does not match.
    const std::string etag = header(index, "ETag");
    ASSERT_FALSE(etag.empty());
    auto again = files.serve("GET", "/app/index.html", etag);
    EXPECT_EQ(again.status, 304);
    EXPECT_TRUE(again.body.empty());
    put(root + "/index.html", "<!doctype html><title>changed</title>");
    EXPECT_EQ(files.serve("GET", "/app/", etag).status, 200);

    auto head = files.serve("HEAD", "/app/app.css", "");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "body{}") << "the server sends only its length";
    auto post = files.serve("POST", "/app/", "");
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(header(post, "Allow"), "GET, HEAD");
    for (const char* bare : {"/app", "/"}) {
        auto r = files.serve("GET", bare, "");
        EXPECT_EQ(r.status, 301) << bare;
        EXPECT_EQ(header(r, "Location"), "/app/") << bare;
    }
    EXPECT_TRUE(StaticFiles::handles("/app/x") && StaticFiles::handles("/app") && !StaticFiles::handles("/api/machines") &&
                !StaticFiles::handles("/application"));
}

TEST_F(StaticFilesTest, NothingOutsideTheFolderNorHiddenNorFoldersIsServed) {
    StaticFiles files(root);
    for (const char* path : {"/app/../secret.txt", "/app/%2e%2e/secret.txt", "/app/js/../../secret.txt",
                             "/app/js/..%2f..%2fsecret.txt", "/app/.env", "/app/%2eenv", "/app/link.txt",
                             "/app/js/", "/app/js", "/app//index.html", "/app/js%5capp.js", "/app/index.html%00",
                             "/app/%zz", "/app/missing.js", "/app/C:/x"}) {
        auto r = files.serve("GET", path, "");
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body.find("outside"), std::string::npos) << path;
        EXPECT_EQ(r.body.find("secret"), std::string::npos) << path;
        EXPECT_FALSE(header(r, "Content-Security-Policy").empty()) << "errors carry the policy too: " << path;
    }
    // A link that stays inside the folder is fine.
    fs::create_symlink(root + "/app.css", root + "/theme.css");
    EXPECT_EQ(files.serve("GET", "/app/theme.css", "").status, 200);

    StaticFiles none(dir / "no-such-folder");
    EXPECT_EQ(none.serve("GET", "/app/", "").status, 404);
    StaticFiles off("");
    EXPECT_EQ(off.serve("GET", "/app/index.html", "").status, 404);
}
