// The update check against a one-shot HTTP server on loopback started by
// the test: newer, equal, missing and garbage documents, an oversized body
// and a server that never answers.
#include <gtest/gtest.h>

#include "host/UpdateChecker.h"
#include "support/ScriptedServer.h"

namespace qb {
namespace {

using namespace std::chrono_literals;

// Serves one response to each connection until destroyed; with `hang`, it
// reads the request and then says nothing until the test is over.
struct LoopbackHTTPServer : test::ScriptedServer {
    explicit LoopbackHTTPServer(std::string response, bool hang = false)
        : ScriptedServer(loopbackListener(), std::move(response), hang, "\r\n\r\n")
    {
    }
    UpdateChecker::Config config() const
    {
        UpdateChecker::Config config;
        config.host = "http://127.0.0.1:" + std::to_string(port());
        config.timeout = 1000ms;
        config.maxBodyBytes = 1024;
        return config;
    }
};

std::string http(int status, const std::string& body)
{
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

TEST(UpdateChecker, Fetches)
{
    {
        LoopbackHTTPServer server(http(200, R"({"version":"2.5","dmg":"https://example.invalid/qb.deb"})"));
        EXPECT_EQ(UpdateChecker::check("2.4.4", server.config()),
            (UpdateChecker::Release{"2.5", "https://example.invalid/qb.deb"}));
    }
    // The same version, a 404, a broken document, an oversized body and a
    // server that never answers: no release.
    for (const auto& [response, hang] : std::initializer_list<std::pair<std::string, bool>>{
             {http(200, R"({"version":"2.4.4","dmg":"x","minCompanionVersion":"2.0"})"), false},
             {http(404, R"({"version":"9","dmg":"x"})"), false}, {http(200, "{\"version\": 3"), false},
             {http(200, R"({"version":"9","dmg":")" + std::string(5000, 'x') + "\"}"), false}, {"", true}}) {
        LoopbackHTTPServer server(response, hang);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(UpdateChecker::check("2.4.4", server.config()), std::nullopt) << response;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s); // the limit, not the server, ends it
    }
}

TEST(UpdateChecker, DecodeAndCompare)
{
    std::string error;
    EXPECT_FALSE(UpdateChecker::decode(R"({"version":2.5,"dmg":"x"})", error));
    EXPECT_FALSE(UpdateChecker::decode(R"({"version":"2.5"})", error));
    EXPECT_TRUE(UpdateChecker::decode(R"({"version":"2.5","dmg":"x","extra":1})", error));

    EXPECT_TRUE(UpdateChecker::isNewer("2.5", "2.4.4"));
    EXPECT_FALSE(UpdateChecker::isNewer("2.4.4", "2.4.4"));
    EXPECT_FALSE(UpdateChecker::isNewer("2.4.4.0", "2.4.4"));
    EXPECT_TRUE(UpdateChecker::isNewer("3", "2.9.9"));
    EXPECT_FALSE(UpdateChecker::isNewer("2.4b.1", "2.1"));
    EXPECT_TRUE(UpdateChecker::isNewer("2.4b.2", "2.1"));
    EXPECT_FALSE(UpdateChecker::isNewer("99999999999999999999999", "1")); // not an integer: left out
}

} // namespace
} // namespace qb
