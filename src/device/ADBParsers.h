// Pure parsers for the text adb prints. They read only the tokens the device
// link relies on ("device", "unauthorized", "model:", "Physical size:",
// "Override", "versionName=", "=" in env lines, decimal settings); every other
// word of adb's output is adb's own and may change between releases.
//
// All functions are pure, thread-safe and accept any bytes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qb::ADBBridge {

struct DeviceLine {
    std::string serial;
    std::string model; // "unknown" when the line has no "model:" token
    bool operator==(const DeviceLine&) const = default;
};

// `adb devices -l`: the first line is adb's header; every further line whose
// second word is "device" yields (serial, model), in order.
std::vector<DeviceLine> parseDeviceLines(std::string_view output);

// `adb devices -l`: the serials whose second word is exactly "unauthorized".
std::vector<std::string> parseUnauthorizedDevices(std::string_view output);

// `adb shell wm size`: the physical size only; the override line is ignored.
std::optional<std::pair<int, int>> parseScreenResolution(std::string_view output);

// `adb shell dumpsys package <pkg>`: the text after the first "versionName=",
// nothing when that text is empty.
std::optional<std::string> parseCompanionVersion(std::string_view output);

// `sh -l -c env`: KEY=value lines; the value keeps further equals signs; a
// later key replaces an earlier one; lines without "=" are skipped.
std::map<std::string, std::string> parseEnvironment(std::string_view output);

// `adb shell settings get system <name>`: a trimmed decimal integer with an
// optional sign ("null", blanks and overflow give nothing).
std::optional<int> parseSettingValue(std::string_view output);

// `adb version`: the platform-tools release of its "Version 34.0.5-10900879"
// line (Debian prints "Version 29.0.6-debian") as major, minor, micro.
struct ToolsVersion {
    int major = 0, minor = 0, micro = 0;
    auto operator<=>(const ToolsVersion&) const = default;
};
std::optional<ToolsVersion> parseToolsVersion(std::string_view output);

// A failed command's standard error says the adb server could not be reached
// (never started, killed, or gone mid-call), not that the command failed.
bool saysServerUnreachable(std::string_view standardError);

// `adb reverse --list`: each line reads "<transport> tcp:<device port>
// tcp:<host port>"; lines without two positive tcp ports are skipped.
struct ReverseTunnel {
    int devicePort = 0;
    int hostPort = 0;
    bool operator==(const ReverseTunnel&) const = default;
};
std::vector<ReverseTunnel> parseReverseList(std::string_view output);

// `adb track-devices`: adb's server sends the whole device list when asked
// and again whenever it changes, each list as one message:
//
//   +-------------------------------+------------------------------------+
//   | length: 4 ASCII hex digits    | `length` bytes: one line per device |
//   | ("001b", "0000" for no device) | "serial\tstate\n"                  |
//   +-------------------------------+------------------------------------+
//
// The reader takes the bytes as the pipe gives them, in pieces of any size,
// and returns every list completed by each piece. A length that is not four
// hex digits means the stream is not (or no longer) that form: the reader is
// then broken for good and returns nothing more (the stream cannot be
// resynchronised; its reader starts a new one). Lines without a serial and a
// state are skipped. One reader per stream; not thread-safe.
struct TrackedDevice {
    std::string serial;
    std::string state; // "device", "unauthorized", "offline", ...
    bool operator==(const TrackedDevice&) const = default;
};

class TrackDevicesReader {
public:
    std::vector<std::vector<TrackedDevice>> feed(std::string_view bytes);
    bool broken() const { return broken_; }

private:
    std::string pending_; // never more than one message: 4 + 0xFFFF bytes
    bool broken_ = false;
};

} // namespace qb::ADBBridge
