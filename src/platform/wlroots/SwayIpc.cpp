#include "platform/wlroots/SwayIpc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

namespace qb::wlroots {

namespace {

constexpr char MAGIC[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t HEADER_SIZE = sizeof MAGIC + 8;
// Far above any layout's reply; a larger length means the stream is not sway's.
constexpr std::uint32_t MAX_REPLY = 16U << 20;

// What sway sends is read field by field: a field of another type than
// expected is taken as missing, never as a fault.
int intOf(const nlohmann::json& object, const char* key)
{
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return 0;
    const double value = it->get<double>();
    return value >= -1e9 && value <= 1e9 ? int(value) : 0;
}

bool boolOf(const nlohmann::json& object, const char* key)
{
    auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

} // namespace

std::optional<std::vector<SwayOutput>> parseSwayOutputs(std::string_view reply)
{
    auto json = nlohmann::json::parse(reply, nullptr, false);
    if (!json.is_array()) return std::nullopt;
    std::vector<SwayOutput> outputs;
    for (const auto& item : json) {
        if (!item.is_object() || !item.contains("name") || !item["name"].is_string()) return std::nullopt;
        SwayOutput output;
        output.name = item["name"].get<std::string>();
        output.active = boolOf(item, "active");
        if (auto rect = item.find("rect"); rect != item.end() && rect->is_object()) {
            output.x = intOf(*rect, "x");
            output.y = intOf(*rect, "y");
            output.width = intOf(*rect, "width");
            output.height = intOf(*rect, "height");
        }
        if (auto mode = item.find("current_mode"); mode != item.end() && mode->is_object()) {
            output.pixelWidth = intOf(*mode, "width");
            output.pixelHeight = intOf(*mode, "height");
        }
        if (auto scale = item.find("scale"); scale != item.end() && scale->is_number() && scale->get<double>() > 0) {
            output.scale = scale->get<double>();
        }
        outputs.push_back(std::move(output));
    }
    return outputs;
}

std::optional<std::string> swayCommandError(std::string_view reply)
{
    auto json = nlohmann::json::parse(reply, nullptr, false);
    if (!json.is_array() || json.empty()) return "sway's reply is not a command result";
    for (const auto& result : json) {
        if (!result.is_object()) return "sway's reply is not a command result";
        if (boolOf(result, "success")) continue;
        auto error = result.find("error");
        return error != result.end() && error->is_string() ? error->get<std::string>() : "sway refused the command";
    }
    return std::nullopt;
}

int SwayIpc::open(const std::string& path, std::string* error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        if (error) *error = path.empty() ? "$SWAYSOCK is not set" : "the sway socket path is too long";
        return -1;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (error) *error = "cannot reach sway at " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

std::unique_ptr<SwayIpc> SwayIpc::connect(const std::string& path, std::string* error, std::chrono::milliseconds limit)
{
    const int fd = open(path, error);
    if (fd < 0) return nullptr;
    return std::unique_ptr<SwayIpc>(new SwayIpc(path, fd, limit));
}

SwayIpc::~SwayIpc()
{
    if (fd_ >= 0) ::close(fd_);
}

bool SwayIpc::transfer(void* data, std::size_t size, bool sending)
{
    auto* bytes = static_cast<char*>(data);
    const auto deadline = std::chrono::steady_clock::now() + limit_;
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd fd{fd_, short(sending ? POLLOUT : POLLIN), 0};
        if (::poll(&fd, 1, int(left.count())) <= 0) {
            if (errno == EINTR) continue;
            return false;
        }
        const ssize_t n = sending ? ::send(fd_, bytes, size, MSG_NOSIGNAL) : ::recv(fd_, bytes, size, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= std::size_t(n);
    }
    return true;
}

std::optional<std::string> SwayIpc::request(std::uint32_t type, const std::string& payload, std::string* error)
{
    std::lock_guard guard(lock_);
    if (fd_ < 0 && (fd_ = open(path_, error)) < 0) return std::nullopt;
    auto fail = [&](const std::string& why) -> std::optional<std::string> {
        if (error) *error = why;
        // The stream's position is lost: the next request starts afresh.
        ::close(fd_);
        fd_ = -1;
        return std::nullopt;
    };
    std::string message(MAGIC, sizeof MAGIC);
    const auto length = std::uint32_t(payload.size());
    message.append(reinterpret_cast<const char*>(&length), 4);
    message.append(reinterpret_cast<const char*>(&type), 4);
    message += payload;
    if (!transfer(message.data(), message.size(), true)) return fail("sway's socket does not take the request");
    char header[HEADER_SIZE];
    if (!transfer(header, sizeof header, false)) return fail("sway did not answer");
    std::uint32_t replyLength = 0;
    std::uint32_t replyType = 0;
    std::memcpy(&replyLength, header + sizeof MAGIC, 4);
    std::memcpy(&replyType, header + sizeof MAGIC + 4, 4);
    if (std::memcmp(header, MAGIC, sizeof MAGIC) != 0 || replyLength > MAX_REPLY || replyType != type) {
        return fail("the socket does not speak sway's protocol");
    }
    std::string reply(replyLength, '\0');
    if (!transfer(reply.data(), reply.size(), false)) return fail("sway's reply was cut short");
    return reply;
}

bool SwayIpc::command(const std::string& text, std::string* error)
{
    auto reply = request(RUN_COMMAND, text, error);
    if (!reply) return false;
    auto refused = swayCommandError(*reply);
    if (refused && error) *error = *refused;
    return !refused;
}

std::optional<std::vector<SwayOutput>> SwayIpc::outputs(std::string* error)
{
    auto reply = request(GET_OUTPUTS, "", error);
    if (!reply) return std::nullopt;
    auto outputs = parseSwayOutputs(*reply);
    if (!outputs && error) *error = "sway's output list cannot be read";
    return outputs;
}

} // namespace qb::wlroots
