// The wizard's building blocks: masked key entry and the account API's HTTP client,
// against a recording HTTP server.
#include <cstdio>
#include <deque>
#include <stdexcept>

#include <gtest/gtest.h>

#include "host/console.h"
#include "host/http_client.h"
#include "tests/host/fake_http_server.h"
#include "tests/support/process.h"

using testsupport::FakeHttpServer;

namespace {

struct Typed {
    std::optional<std::string> text;
    std::string echo;
};

Typed type_keys(std::deque<int> keys) {
    std::FILE* echo = std::tmpfile();
    Typed t;
    t.text = read_masked_keys(
        [&keys] {
            if (keys.empty()) return KEY_END;
            int k = keys.front();
            keys.pop_front();
            return k;
        },
        echo);
    std::rewind(echo);
    int c;
    while ((c = std::fgetc(echo)) != EOF) t.echo.push_back(static_cast<char>(c));
    std::fclose(echo);
    return t;
}

std::deque<int> keys_of(const std::string& s) { return std::deque<int>(s.begin(), s.end()); }

}  // namespace

TEST(MaskedEntry, BackspaceErasesCharactersAndTheirAsterisks) {
    Typed t = type_keys(keys_of("secret!!\x7f\b\r"));
    EXPECT_EQ(t.text, "secret");
    EXPECT_EQ(t.echo, "********\b \b\b \b\n");

    // Backspace on nothing does nothing; a line feed ends the entry too.
    t = type_keys(keys_of("\b\x7f" "ab\n"));
    EXPECT_EQ(t.text, "ab");
    EXPECT_EQ(t.echo, "**\n");
}

TEST(MaskedEntry, KeysThatAreNoCharactersAddNothing) {
    std::deque<int> keys = {'p', '\t', 27, KEY_IGNORED, 0x01, 0x80, 0xFF, 'w', '\r'};
    Typed t = type_keys(keys);
    EXPECT_EQ(t.text, "pw");
    EXPECT_EQ(t.echo, "**\n");
}

TEST(MaskedEntry, EndOrCancelBeforeTheLineGivesNothing) {
    EXPECT_FALSE(type_keys(keys_of("abc")).text.has_value());
    std::deque<int> cancelled = {'a', KEY_CANCEL, 'b', '\r'};
    Typed t = type_keys(cancelled);
    EXPECT_FALSE(t.text.has_value());
    EXPECT_EQ(t.echo, "*\n");
    EXPECT_EQ(type_keys(keys_of("\r")).text, "");
}

TEST(HttpPostJson, SendsTheBodyAsIsWithBearerOnlyWithAToken) {
    FakeHttpServer server;
    ASSERT_TRUE(server.ok());
    server.answer("/a", 200, "{\"token\":\"t\"}");
    server.answer("/b", 201, "");

    EXPECT_EQ(http_post_json(server.url() + "/a", "{\"b\":1,\"a\":\"\xc3\xa9\"}", ""), "{\"token\":\"t\"}");
    EXPECT_EQ(http_post_json(server.url() + "/b", "{}", "tok 1"), "");

    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].path, "/a");
    EXPECT_EQ(reqs[0].body, "{\"b\":1,\"a\":\"\xc3\xa9\"}");
    EXPECT_EQ(reqs[0].headers["content-type"], "application/json");
    EXPECT_EQ(reqs[0].headers.count("authorization"), 0u);
    EXPECT_EQ(reqs[1].headers["authorization"], "Bearer tok 1");
    EXPECT_EQ(reqs[1].body, "{}");
}

// The agent's settings come from its configuration only: a proxy named in the
// environment (which would see the password) is not used.
TEST(HttpPostJson, IgnoresProxiesNamedInTheEnvironment) {
    FakeHttpServer server;
    ASSERT_TRUE(server.ok());
    server.answer("/a", 200, "{}");
    for (const char* name : {"http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"})
        setenv(name, "http://127.0.0.1:9", 1);
    std::string answer;
    try {
        answer = http_post_json(server.url() + "/a", "{}", "");
    } catch (const std::exception& e) {
        answer = e.what();
    }
    for (const char* name : {"http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) unsetenv(name);
    EXPECT_EQ(answer, "{}");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(HttpPostJson, ErrorsCarryStatusBodyAndReason) {
    FakeHttpServer server;
    ASSERT_TRUE(server.ok());
    server.answer("/dup", 409, "{\"error\":\"username taken\"}");
    server.answer("/empty", 500, "");
    server.answer("/moved", 302, "");

    auto message = [](const std::string& url) {
        try {
            http_post_json(url, "{}", "");
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message(server.url() + "/dup"), "HTTP 409: {\"error\":\"username taken\"}");
    EXPECT_EQ(message(server.url() + "/empty"), "HTTP 500");
    EXPECT_EQ(message(server.url() + "/nothing"), "HTTP 404: {\"error\":\"not found\"}");
    // A redirect without a target is not success.
    EXPECT_EQ(message(server.url() + "/moved"), "HTTP 302");

    // Nobody listening: no status, and the transfer's own reason in parentheses.
    const std::string down = message("http://127.0.0.1:" + std::to_string(testsupport::free_port()) + "/x");
    EXPECT_EQ(down.rfind("HTTP 0 (", 0), 0u) << down;
    EXPECT_EQ(down.back(), ')');

    EXPECT_EQ(http_error_message(0, "", "timed out"), "HTTP 0 (timed out)");
    EXPECT_EQ(http_error_message(200, "par", "cut off"), "HTTP 200: par (cut off)");
}
