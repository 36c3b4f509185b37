#include "platform/DnsSd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>


namespace qb {

std::optional<std::vector<std::uint8_t>> socketAddressBytes(const std::string& address, std::uint16_t port)
{
    sockaddr_in v4{};
    if (::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v4);
        return std::vector<std::uint8_t>(bytes, bytes + sizeof v4);
    }
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v6);
        return std::vector<std::uint8_t>(bytes, bytes + sizeof v6);
    }
    return std::nullopt;
}

std::optional<std::string> numericAddress(const std::vector<std::uint8_t>& socketAddress)
{
    sockaddr_storage storage{};
    if (socketAddress.size() < sizeof(sockaddr_in)) return std::nullopt;
    std::memcpy(&storage, socketAddress.data(), std::min(socketAddress.size(), sizeof storage));
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = nullptr;
    if (storage.ss_family == AF_INET) raw = &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr;
    if (storage.ss_family == AF_INET6 && socketAddress.size() >= sizeof(sockaddr_in6)) {
        raw = &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
    }
    if (!raw || !::inet_ntop(storage.ss_family, raw, text, sizeof text)) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> prettyHostnameFromMachineInfo(std::string_view contents)
{
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    std::optional<std::string> found;
    while (!contents.empty()) {
        const size_t end = std::min(contents.find('\n'), contents.size());
        std::string_view line = contents.substr(0, end);
        contents.remove_prefix(std::min(end + 1, contents.size()));
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos) continue;
        line.remove_prefix(first);
        if (line.substr(0, key.size()) != key) continue;
        std::string_view raw = line.substr(key.size());
        while (!raw.empty() && (raw.back() == '\r' || raw.back() == ' ' || raw.back() == '\t')) raw.remove_suffix(1);
        // Shell-style value: quotes group, a backslash escapes the next character.
        std::string value;
        char quote = 0;
        for (size_t i = 0; i < raw.size(); ++i) {
            const char c = raw[i];
            if (quote == '\'') {
                if (c == '\'') quote = 0;
                else value += c;
            } else if (c == '\\' && i + 1 < raw.size()) {
                value += raw[++i];
            } else if (quote == '"') {
                if (c == '"') quote = 0;
                else value += c;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else {
                value += c;
            }
        }
        found = value;
    }
    if (!found || found->empty()) return std::nullopt;
    return found;
}

} // namespace qb
