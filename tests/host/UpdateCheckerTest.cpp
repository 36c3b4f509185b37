// The update check against a one-shot HTTP server on loopback started by
// the test: newer, equal, missing and garbage documents, an oversized body
// and a server that never answers.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diagnostics/RingLogger.h"
#include "host/UpdateChecker.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// Serves one response to each connection until destroyed. With `hang`, it
// reads the request and then says nothing until the test is over.
class LoopbackHTTPServer {
public:
    LoopbackHTTPServer(std::string response, bool hang = false) : response_(std::move(response)), hang_(hang)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        ::listen(fd_, 4);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackHTTPServer()
    {
        done_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
    }
    UpdateChecker::Config config() const
    {
        UpdateChecker::Config config;
        config.host = "http://127.0.0.1:" + std::to_string(port_);
        config.timeout = 1000ms;
        config.maxBodyBytes = 1024;
        return config;
    }

private:
    void serve()
    {
        while (!done_) {
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            char buffer[2048];
            std::string request;
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            if (hang_) {
                // Hold the connection open and silent until the client gives up.
                while (::recv(client, buffer, sizeof(buffer), 0) > 0) {
                }
            } else {
                ::send(client, response_.data(), response_.size(), MSG_NOSIGNAL);
            }
            ::close(client);
        }
    }

    std::string response_;
    bool hang_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

std::string http(int status, const std::string& body)
{
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string updateLogs() { return RingLogger::shared().formatted(std::nullopt, std::string("Update")); }

TEST(UpdateChecker, Fetches)
{
    RingLogger::shared().clear();
    {
        LoopbackHTTPServer server(http(200, R"({"version":"2.5","dmg":"https://example.invalid/qb.deb"})"));
        EXPECT_EQ(UpdateChecker::check("2.4.4", server.config()),
            (UpdateChecker::Release{"2.5", "https://example.invalid/qb.deb"}));
    }
    {
        LoopbackHTTPServer server(
            http(200, R"({"version":"2.4.4","dmg":"x","minCompanionVersion":"2.0"})"));
        EXPECT_EQ(UpdateChecker::check("2.4.4", server.config()), std::nullopt);
    }
    {
        LoopbackHTTPServer server(http(404, R"({"version":"9","dmg":"x"})"));
        EXPECT_EQ(UpdateChecker::check("2.4.4", server.config()), std::nullopt);
    }
    EXPECT_EQ(updateLogs(), "(no log entries)"); // neither "no update" nor a 404 is worth a line

    {
        LoopbackHTTPServer server(http(200, "{\"version\": 3"));
        EXPECT_EQ(UpdateChecker::check("2.4.4", server.config()), std::nullopt);
        EXPECT_THAT(updateLogs(), HasSubstr("Failed to decode version.json: "));
    }
    {
        LoopbackHTTPServer server(http(200, R"({"version":"9","dmg":")" + std::string(5000, 'x') + "\"}"));
        EXPECT_EQ(UpdateChecker::check("2.4.4", server.config()), std::nullopt);
        EXPECT_THAT(updateLogs(), HasSubstr("Failed to fetch version.json: response larger than 1024 bytes"));
    }
    {
        LoopbackHTTPServer server("", /*hang=*/true);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(UpdateChecker::check("2.4.4", server.config()), std::nullopt);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s); // the limit, not the server, ends it
        EXPECT_THAT(updateLogs(), HasSubstr("Failed to fetch version.json: "));
    }
    RingLogger::shared().clear();
}

TEST(UpdateChecker, DecodeAndCompare)
{
    std::string error;
    EXPECT_FALSE(UpdateChecker::decode(R"({"version":2.5,"dmg":"x"})", error));
    EXPECT_THAT(error, HasSubstr("version"));
    EXPECT_FALSE(UpdateChecker::decode(R"(["2.5"])", error));
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
