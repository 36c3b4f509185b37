// MirrorError: the typed failures the engine and its components raise, each
// with a fixed description for the user. Most failures in this system are
// values; these are the few that a constructor or `ScreenCapture::start`
// throws, and that the start sequence turns into `MirrorStatus::error`.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace qb {

class MirrorError : public std::exception {
public:
    enum class Kind { portUnavailable, noVirtualDisplay, adbNotFound, noDeviceConnected, tcpOptionsUnavailable };

    static MirrorError portUnavailable(std::uint16_t port) { return MirrorError(Kind::portUnavailable, port); }
    static MirrorError noVirtualDisplay() { return MirrorError(Kind::noVirtualDisplay); }
    static MirrorError adbNotFound() { return MirrorError(Kind::adbNotFound); }
    static MirrorError noDeviceConnected() { return MirrorError(Kind::noDeviceConnected); }
    static MirrorError tcpOptionsUnavailable() { return MirrorError(Kind::tcpOptionsUnavailable); }

    Kind kind() const { return kind_; }
    // The port of `portUnavailable`; absent for every other case.
    std::optional<std::uint16_t> port() const { return port_; }

    // The fixed text shown to the user.
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const MirrorError& other) const { return kind_ == other.kind_ && port_ == other.port_; }

private:
    explicit MirrorError(Kind kind, std::optional<std::uint16_t> port = std::nullopt);

    Kind kind_;
    std::optional<std::uint16_t> port_;
    std::string description_;
};

} // namespace qb
