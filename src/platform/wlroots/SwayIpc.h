// sway's control socket ($SWAYSOCK): the i3-compatible JSON protocol, used
// to add and remove outputs and to read the output layout.
//
//   request and reply:  "i3-ipc" | length u32 | type u32 | JSON payload
//                       (6 bytes)  (host order)  (host order)
//
// One request at a time on one connection; every call may come from any
// thread (a lock serialises them). A reply slower than the time limit, a
// closed socket or a reply that is not JSON is an error, never a hang. After
// such an error the stream's position is lost, so the next request opens a
// new connection: one slow reply under load costs that request only.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qb::wlroots {

// One output as sway's get_outputs lists it.
struct SwayOutput {
    std::string name; // "HEADLESS-1", "eDP-1"
    bool active = false;
    // Where it sits in the layout, in logical pixels (a scaled output is smaller).
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    // Its current mode, in pixels.
    int pixelWidth = 0;
    int pixelHeight = 0;
    double scale = 1;
    bool operator==(const SwayOutput&) const = default;
};

// The outputs in a get_outputs reply; nullopt when the reply is not one.
std::optional<std::vector<SwayOutput>> parseSwayOutputs(std::string_view reply);
// Nothing when every command of a run_command reply succeeded, else sway's
// error text (or why the reply could not be read).
std::optional<std::string> swayCommandError(std::string_view reply);

class SwayIpc {
public:
    static constexpr std::uint32_t RUN_COMMAND = 0;
    static constexpr std::uint32_t GET_OUTPUTS = 3;
    static constexpr std::uint32_t GET_VERSION = 7;

    // nullptr when the socket cannot be reached, `error` saying why.
    static std::unique_ptr<SwayIpc> connect(const std::string& path, std::string* error,
        std::chrono::milliseconds limit = std::chrono::seconds(5));
    ~SwayIpc();
    SwayIpc(const SwayIpc&) = delete;
    SwayIpc& operator=(const SwayIpc&) = delete;

    // The reply's payload, or nullopt with `error` saying why.
    std::optional<std::string> request(std::uint32_t type, const std::string& payload, std::string* error);
    // Runs sway commands ("output HEADLESS-2 mode 1600x1200"); false with sway's error.
    bool command(const std::string& text, std::string* error = nullptr);
    // Every output, active or not; nullopt with `error` saying why.
    std::optional<std::vector<SwayOutput>> outputs(std::string* error = nullptr);

private:
    SwayIpc(std::string path, int fd, std::chrono::milliseconds limit)
        : path_(std::move(path)), fd_(fd), limit_(limit)
    {
    }
    static int open(const std::string& path, std::string* error);
    bool transfer(void* data, std::size_t size, bool sending);

    std::mutex lock_;
    std::string path_;
    int fd_ = -1;
    std::chrono::milliseconds limit_;
};

} // namespace qb::wlroots
