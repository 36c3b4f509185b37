#include "device/ADBBridge.h"

#include "config/Ports.h"
#include "config/Text.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include <unistd.h>

#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "diagnostics/SMLog.h"
#include "platform/UserFolders.h"
#include "runtime/Process.h"

namespace qb {

namespace fs = std::filesystem;

DeviceFamily ConnectedDevice::deviceFamily() const { return deviceFamilyForModel(model); }

namespace ADBBridge {

namespace {

void bridgeLog(std::string_view line) { componentLog(LogLevel::info, "ADBBridge", line); }
void bridgeError(std::string_view line) { componentLog(LogLevel::error, "ADBBridge", line); }

std::string joined(const std::vector<std::string>& args)
{
    std::string text;
    for (const auto& arg : args) {
        if (!text.empty()) text += ' ';
        text += arg;
    }
    return text;
}

std::string trimmedCopy(std::string_view text) { return std::string(qb::trimmed(text)); }

std::string serialText(const Serial& serial) { return serial ? *serial : "default"; }

bool isExecutableFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

std::mutex timingLock;
Timing currentTiming;

// The once-computed values. Each lock is held while its value is computed, so
// threads that need it at the same moment wait for the one computation. Never
// destroyed: adb work still running on a pool thread while the process exits
// (a front-light read a test left behind) must not meet a destroyed cache.
struct Cache {
    std::mutex pathLock;
    std::optional<std::optional<std::string>> path;
    std::mutex environmentLock;
    std::optional<std::map<std::string, std::string>> environment;
    // The adb server, started once: held while `adb start-server` runs, so
    // that callers arriving meanwhile wait for it instead of each starting
    // a server of their own.
    std::mutex serverLock;
    bool serverStarted = false;
    // When a start last failed: commands do not try again for a while (a
    // broken adb would double every command's time).
    std::optional<std::chrono::steady_clock::time_point> serverFailed;
};
Cache& cache()
{
    static auto* const instance = new Cache;
    return *instance;
}

std::optional<std::string> findADB()
{
    if (const char* forced = std::getenv("QUILLBRIGHT_ADB"); forced && *forced) {
        if (isExecutableFile(forced)) {
            bridgeLog(fmt::format("[ADBBridge] Using adb from QUILLBRIGHT_ADB: {}", forced));
            return std::string(forced);
        }
        bridgeError(fmt::format("[ADBBridge] QUILLBRIGHT_ADB is not an executable file: {}", forced));
    }

    std::vector<std::string> known(std::begin(KNOWN_ADB_LOCATIONS), std::end(KNOWN_ADB_LOCATIONS));
    if (const char* sdk = std::getenv("ANDROID_HOME"); sdk && *sdk) {
        known.push_back((fs::path(sdk) / "platform-tools" / "adb").string());
    }
    for (const auto& path : known) {
        if (isExecutableFile(path)) {
            bridgeLog(fmt::format("[ADBBridge] Using system adb: {}", path));
            return path;
        }
    }

    // A login shell, so the user's profile sets the search path.
    ProcessOptions which;
    which.executable = "/bin/sh";
    which.arguments = {"-l", "-c", "which adb"};
    which.standardError = OutputMode::discard;
    auto result = runProcess(which, timing().shellLookup, "which adb");
    if (!result.launched) {
        bridgeError(fmt::format("[ADBBridge] Failed to run 'which adb': {}", result.launchError));
    } else if (result.exitStatus == 0 && isValidUTF8(result.standardOutput)) {
        std::string path = trimmedCopy(result.standardOutput);
        if (!path.empty()) {
            bridgeLog(fmt::format("[ADBBridge] Using system adb (via which): {}", path));
            return path;
        }
    }

    if (auto resources = resourcesDirectory()) {
        const fs::path bundled = *resources / BUNDLED_ADB_NAME;
        if (isExecutableFile(bundled)) {
            bridgeLog(fmt::format("[ADBBridge] Using bundled adb (no system adb found): {}", bundled.string()));
            return bundled.string();
        }
    }
    bridgeError("[ADBBridge] No adb binary found (checked known paths + which + bundle)");
    return std::nullopt;
}

std::map<std::string, std::string> loadShellEnvironment()
{
    ProcessOptions env;
    env.executable = "/bin/sh";
    env.arguments = {"-l", "-c", "env"};
    env.standardError = OutputMode::discard;
    auto result = runProcess(env, timing().shellLookup, "shell env");
    std::string output;
    if (!result.launched) {
        bridgeError(fmt::format("[ADBBridge] Failed to run shell env: {}", result.launchError));
    } else if (isValidUTF8(result.standardOutput)) {
        output = result.standardOutput;
    }
    auto environment = parseEnvironment(output);
    if (!environment.contains("HOME")) {
        const auto home = UserFolders::current().home;
        environment["HOME"] = home.empty() ? "/" : home.string();
    }
    auto valueOf = [&](const char* key) {
        auto found = environment.find(key);
        return found == environment.end() ? std::string("(unset)") : found->second;
    };
    bridgeLog(fmt::format("[ADBBridge] Shell environment loaded ({} vars, HOME={}, ANDROID_HOME={})",
        environment.size(), valueOf("HOME"), valueOf("ANDROID_HOME")));
    return environment;
}

// An adb child process ready to launch, or nothing without adb. A command
// that needs the adb server waits for its one start first: an adb client
// that finds no server starts one itself, and several at once fail ("ADB
// server didn't ACK").
std::optional<ProcessOptions> makeADBProcess(const std::vector<std::string>& args, const Serial& serial)
{
    auto path = resolvedADBPath();
    if (!path) return std::nullopt;
    static const std::vector<std::string> serverless = {"start-server", "kill-server", "version"};
    if (args.empty() || std::find(serverless.begin(), serverless.end(), args.front()) == serverless.end()) {
        bool wait = true;
        {
            auto& c = cache();
            std::lock_guard guard(c.serverLock);
            wait = !c.serverFailed || std::chrono::steady_clock::now() - *c.serverFailed > std::chrono::seconds(30);
        }
        if (wait) ensureServerRunning();
    }
    ProcessOptions options;
    options.executable = *path;
    if (serial) {
        options.arguments = {"-s", *serial};
    }
    options.arguments.insert(options.arguments.end(), args.begin(), args.end());
    options.environment = shellEnvironment();
    return options;
}

std::optional<ProcessOptions> makeADBProcess(const std::vector<std::string>& args, const Serial& serial,
    OutputMode out, OutputMode err)
{
    auto options = makeADBProcess(args, serial);
    if (options) {
        options->standardOutput = out;
        options->standardError = err;
    }
    return options;
}

std::string tcp(int port) { return fmt::format("tcp:{}", port); }

// Only the device side counts: tcp:8888 must match neither tcp:88880 nor a
// tunnel that merely ends at host port 8888.
bool reverseListHasDevicePort(std::string_view list, int devicePort)
{
    const auto tunnels = parseReverseList(list);
    return std::any_of(tunnels.begin(), tunnels.end(), [&](const ReverseTunnel& t) { return t.devicePort == devicePort; });
}

} // namespace

void setTiming(const Timing& value)
{
    std::lock_guard guard(timingLock);
    currentTiming = value;
}

Timing timing()
{
    std::lock_guard guard(timingLock);
    return currentTiming;
}

std::optional<std::string> resolvedADBPath()
{
    auto& c = cache();
    std::lock_guard guard(c.pathLock);
    if (!c.path) c.path = findADB();
    return *c.path;
}

std::map<std::string, std::string> shellEnvironment()
{
    auto& c = cache();
    std::lock_guard guard(c.environmentLock);
    if (!c.environment) c.environment = loadShellEnvironment();
    return *c.environment;
}

void resetForTesting()
{
    auto& c = cache();
    {
        std::lock_guard guard(c.pathLock);
        c.path.reset();
    }
    {
        std::lock_guard guard(c.environmentLock);
        c.environment.reset();
    }
    std::lock_guard guard(c.serverLock);
    c.serverStarted = false;
    c.serverFailed.reset();
}

std::optional<fs::path> resourcesDirectory()
{
    if (const char* forced = std::getenv("QUILLBRIGHT_RESOURCES"); forced && *forced) return fs::path(forced);
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    const fs::path directory = executable.parent_path();
    for (const fs::path& candidate : {directory / ".." / "share" / "quillbright", directory / "resources"}) {
        if (fs::is_directory(candidate, error)) return candidate.lexically_normal();
    }
    return std::nullopt;
}

std::optional<std::string> runADB(const std::vector<std::string>& args, const Serial& serial, double timeout)
{
    auto options = makeADBProcess(args, serial, OutputMode::capture, OutputMode::discard);
    if (!options) return std::nullopt;
    auto outcome = runProcess(*options, timeout, "adb " + joined(args));
    if (!outcome.launched) {
        SMLog::adb().error(fmt::format("Failed to run adb {}: {}", joined(args), outcome.launchError));
        return std::nullopt;
    }
    if (outcome.exitStatus != 0 || !isValidUTF8(outcome.standardOutput)) return std::nullopt;
    return outcome.standardOutput;
}

bool isADBInstalled() { return resolvedADBPath().has_value(); }

bool ensureServerRunning()
{
    auto& c = cache();
    std::lock_guard guard(c.serverLock);
    if (c.serverStarted) return true;
    auto options = makeADBProcess({"start-server"}, std::nullopt, OutputMode::discard, OutputMode::capture);
    if (!options) return false;
    auto outcome = runProcess(*options, timing().startServer, "adb start-server");
    if (!outcome.launched) {
        bridgeError(fmt::format("[ADBBridge] start-server: failed to launch — {}", outcome.launchError));
        c.serverFailed = std::chrono::steady_clock::now();
        return false;
    }
    if (outcome.exitStatus != 0) {
        bridgeError(fmt::format("[ADBBridge] WARNING: start-server failed (exit {}) — {}", outcome.exitStatus.value_or(-1),
            trimmedCopy(outcome.standardError)));
        c.serverFailed = std::chrono::steady_clock::now();
        return false;
    }
    bridgeLog("[ADBBridge] Server running");
    c.serverStarted = true;
    return true;
}

namespace {

std::optional<std::pair<int, int>> queryScreenResolution(const std::string& serial)
{
    auto output = runADB({"shell", "wm", "size"}, serial, timing().screenSize);
    if (!output) return std::nullopt;
    auto size = parseScreenResolution(*output);
    if (size) {
        bridgeLog(fmt::format("[ADBBridge] queryScreenResolution({}): {}x{}", serial, size->first, size->second));
    } else {
        bridgeLog(fmt::format("[ADBBridge] queryScreenResolution({}): failed to parse — {}", serial, trimmedCopy(*output)));
    }
    return size;
}

} // namespace

std::vector<ConnectedDevice> connectedDevices() { return listDevices().value_or(std::vector<ConnectedDevice>{}); }

std::optional<std::vector<ConnectedDevice>> listDevices()
{
    auto options = makeADBProcess({"devices", "-l"}, std::nullopt, OutputMode::capture, OutputMode::capture);
    if (!options) {
        bridgeLog("[ADBBridge] connectedDevices: no adb binary");
        return std::nullopt;
    }
    auto outcome = runProcess(*options, timing().devices, "adb devices");
    if (!outcome.launched) {
        bridgeError(fmt::format("[ADBBridge] connectedDevices: failed to launch — {}", outcome.launchError));
        return std::nullopt;
    }
    if (outcome.exitStatus != 0) {
        bridgeError(fmt::format("[ADBBridge] connectedDevices: exit {} — {}", outcome.exitStatus.value_or(-1),
            trimmedCopy(outcome.standardError)));
        // The server died since it was started (killed, crashed): the next
        // command waits for one new start instead of several clients each
        // starting their own at once.
        if (saysServerUnreachable(outcome.standardError)) {
            auto& c = cache();
            std::lock_guard guard(c.serverLock);
            c.serverStarted = false;
        }
        return std::nullopt;
    }
    std::vector<ConnectedDevice> devices;
    for (auto& line : parseDeviceLines(outcome.standardOutput)) {
        ConnectedDevice device;
        device.serial = line.serial;
        device.model = line.model;
        std::string native = "unknown";
        if (auto size = queryScreenResolution(line.serial)) {
            device.nativeWidth = size->first;
            device.nativeHeight = size->second;
            native = fmt::format("{}x{}", size->first, size->second);
        }
        bridgeLog(fmt::format("[ADBBridge] connectedDevices: found {} (model: {}, native: {})", device.serial,
            device.model, native));
        devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<std::string> unauthorizedDevices()
{
    auto output = runADB({"devices", "-l"}, std::nullopt, timing().devices);
    if (!output) return {};
    return parseUnauthorizedDevices(*output);
}

std::shared_ptr<Process> trackDevices(std::function<void(std::string_view)> onOutput)
{
    auto options = makeADBProcess({"track-devices"}, std::nullopt, OutputMode::capture, OutputMode::discard);
    if (!options) return nullptr;
    options->onOutput = std::move(onOutput);
    options->killedWithLaunchingThread = true;
    std::string error;
    auto process = Process::launch(*options, &error);
    if (!process) bridgeError("[ADBBridge] track-devices: failed to launch — " + error);
    return process;
}

bool connectWiFi(const std::string& ip, int port)
{
    const bool v6 = ip.find(':') != std::string::npos;
    const std::string target = (v6 ? "[" + ip + "]" : ip) + ":" + std::to_string(port);
    auto output = runADB({"connect", target}, std::nullopt, timing().connect);
    if (output && output->find("connected") != std::string::npos) {
        SMLog::adb().info("WiFi connected to " + target);
        return true;
    }
    SMLog::adb().warn(fmt::format("WiFi connect failed for {}: {}", target, output ? *output : "nil"));
    return false;
}

bool setupReverseTunnel(const Serial& serial, int devicePort, int hostPort)
{
    auto options = makeADBProcess({"reverse", tcp(devicePort), tcp(hostPort)}, serial, OutputMode::capture,
        OutputMode::capture);
    if (!options) return false;
    auto outcome = runProcess(*options, timing().reverse, "adb reverse");
    if (!outcome.launched) {
        SMLog::adb().error("setupReverseTunnel: failed to launch — " + outcome.launchError);
        return false;
    }
    if (outcome.exitStatus != 0) {
        SMLog::adb().error(fmt::format("setupReverseTunnel: exit {} — stdout='{}' stderr='{}'", outcome.exitStatus.value_or(-1),
            trimmedCopy(outcome.standardOutput), trimmedCopy(outcome.standardError)));
        return false;
    }
    SMLog::adb().info(
        fmt::format("setupReverseTunnel: {}:{} → host:{} — success", serialText(serial), devicePort, hostPort));

    // adb has been seen to exit 0 without creating the tunnel: trust the list.
    const std::string list = trimmedCopy(runADB({"reverse", "--list"}, serial, timing().reverseList).value_or(""));
    const bool present = reverseListHasDevicePort(list, devicePort);
    if (!present) {
        SMLog::adb().warn(fmt::format("verifyReverseTunnel: NOT FOUND for tcp:{} — full list: '{}'", devicePort,
            list.empty() ? "(empty)" : list));
        SMLog::adb().warn("setupReverseTunnel: command succeeded but tunnel not in --list!");
        return false;
    }
    SMLog::adb().debug(fmt::format("verifyReverseTunnel: VERIFIED (list='{}')", list));
    return true;
}

bool removeReverseTunnel(const Serial& serial, int devicePort)
{
    auto options =
        makeADBProcess({"reverse", "--remove", tcp(devicePort)}, serial, OutputMode::discard, OutputMode::discard);
    if (!options) return false;
    auto outcome = runProcess(*options, timing().reverseRemove, "adb reverse --remove");
    if (!outcome.launched) {
        bridgeError(fmt::format("[ADBBridge] Failed to remove reverse tunnel on port {}: {}", devicePort,
            outcome.launchError));
        return false;
    }
    return outcome.exitStatus == 0;
}

int removeLeftoverTunnels()
{
    int removed = 0;
    auto output = runADB({"devices", "-l"}, std::nullopt, timing().devices);
    if (!output) return 0;
    for (const auto& device : parseDeviceLines(*output)) {
        const auto list = runADB({"reverse", "--list"}, device.serial, timing().reverseList);
        if (!list) continue;
        for (const auto& tunnel : parseReverseList(*list)) {
            if (tunnel.devicePort != DEVICE_STREAM_PORT && tunnel.devicePort != DEVICE_INPUT_PORT) continue;
            if (removeReverseTunnel(device.serial, tunnel.devicePort)) ++removed;
        }
    }
    if (removed > 0) {
        bridgeLog(fmt::format("[ADBBridge] Removed {} reverse tunnel(s) an earlier run left on the tablets", removed));
    }
    return removed;
}

bool installBundledAPK(const Serial& serial)
{
    auto resources = resourcesDirectory();
    if (!resources) {
        SMLog::adb().error("installBundledAPK: no resource path in bundle");
        return false;
    }
    const fs::path apk = *resources / BUNDLED_APK_NAME;
    std::error_code error;
    if (!fs::exists(apk, error)) {
        SMLog::adb().error("installBundledAPK: no bundled APK found at " + apk.string());
        return false;
    }
    auto options = makeADBProcess({"install", "-r", apk.string()}, serial, OutputMode::capture,
        OutputMode::mergeIntoOutput);
    if (!options) {
        SMLog::adb().error("installBundledAPK: ADB not available");
        return false;
    }
    auto outcome = runProcess(*options, timing().install, "adb install");
    if (!outcome.launched) {
        SMLog::adb().error("installBundledAPK: failed to launch process: " + outcome.launchError);
        return false;
    }
    if (outcome.exitStatus != 0) {
        SMLog::adb().error(fmt::format("installBundledAPK failed on {}: {}", serialText(serial),
            trimmedCopy(outcome.standardOutput)));
        return false;
    }
    SMLog::adb().info("Installed bundled APK on " + serialText(serial));

    auto grant = makeADBProcess({"shell", "pm", "grant", std::string(COMPANION_PACKAGE),
                                    std::string(GRANTED_PERMISSION)},
        serial, OutputMode::capture, OutputMode::mergeIntoOutput);
    if (grant) {
        auto granted = runProcess(*grant, timing().grant, "adb pm grant");
        if (!granted.launched) {
            bridgeError(fmt::format("[ADBBridge] Failed to grant WRITE_SECURE_SETTINGS: {}", granted.launchError));
        } else {
            bridgeLog("[ADBBridge] Granted WRITE_SECURE_SETTINGS to app.quillbright");
        }
    }
    return true;
}

bool isAppInstalled(const Serial& serial)
{
    auto output = runADB({"shell", "pm", "list", "packages", std::string(COMPANION_PACKAGE)}, serial,
        timing().packageList);
    if (!output) return false;
    // `pm list packages` filters by substring: "package:app.quillbright.tools"
    // must not count, so the whole line has to match.
    for (std::string_view rest = *output; !rest.empty();) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        if (qb::trimmed(rest.substr(0, end)) == "package:app.quillbright") return true;
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return false;
}

std::optional<std::string> queryCompanionVersion(const Serial& serial)
{
    auto output = runADB({"shell", "dumpsys", "package", std::string(COMPANION_PACKAGE)}, serial,
        timing().versionQuery);
    if (!output) return std::nullopt;
    return parseCompanionVersion(*output);
}

bool isCompanionRunning(const Serial& serial)
{
    auto output = runADB({"shell", "pidof", std::string(COMPANION_PACKAGE)}, serial, timing().pidof);
    return output && !qb::trimmed(*output).empty();
}

void launchApp(const Serial& serial, bool forceRestart, const std::optional<std::string>& wifiHost)
{
    std::vector<std::string> args = {"shell", "am", "start"};
    if (forceRestart) args.push_back("-S");
    args.insert(args.end(), {"-n", std::string(COMPANION_ACTIVITY)});
    if (wifiHost) args.insert(args.end(), {"--es", "wifi_host", *wifiHost});
    auto options = makeADBProcess(args, serial, OutputMode::discard, OutputMode::capture);
    if (!options) return;
    auto outcome = runProcess(*options, timing().launch, "adb am start");
    if (!outcome.launched) {
        SMLog::adb().error("launchApp: failed to launch — " + outcome.launchError);
        return;
    }
    if (outcome.exitStatus == 0) {
        SMLog::adb().info(
            fmt::format("Launched QuillBright on {}{}", serialText(serial), forceRestart ? " (force-restart)" : ""));
    } else {
        SMLog::adb().warn(fmt::format("launchApp: exit {} — {}", outcome.exitStatus.value_or(-1), trimmedCopy(outcome.standardError)));
    }
}

bool openPage(const Serial& serial, const std::string& url)
{
    const bool opened = runADB({"shell", "am", "start", "-a", "android.intent.action.VIEW", "-d", url}, serial,
                            timing().launch)
                            .has_value();
    if (opened) SMLog::adb().info(fmt::format("Opened {} on {}", url, serialText(serial)));
    else SMLog::adb().warn(fmt::format("openPage: could not open {} on {}", url, serialText(serial)));
    return opened;
}

void sendStatus(const Serial& serial, const std::string& state)
{
    runADB({"shell", "am", "broadcast", "-a", std::string(STATUS_ACTION), "--es", "state", state}, serial,
        timing().status);
}

bool checkStartRequest(const Serial& serial)
{
    auto output = runADB({"shell", "cat", std::string(START_REQUEST_FILE)}, serial, timing().startRequest);
    if (!output || qb::trimmed(*output).empty()) return false;
    // Removing the file makes each request count once.
    runADB({"shell", "rm", std::string(START_REQUEST_FILE)}, serial, timing().startRequest);
    return true;
}

bool resetDisplaySizeOverride(const Serial& serial)
{
    auto check = makeADBProcess({"shell", "wm", "size"}, serial, OutputMode::capture, OutputMode::discard);
    if (!check) return false;
    auto current = runProcess(*check, timing().sizeOverride, "adb wm size");
    if (!current.launched) {
        bridgeError(fmt::format("[ADBBridge] Failed to check display size override: {}", current.launchError));
        return false;
    }
    if (current.standardOutput.find("Override") == std::string::npos) {
        bridgeLog("[ADBBridge] No display size override to reset");
        return false;
    }
    auto reset = makeADBProcess({"shell", "wm", "size", "reset"}, serial, OutputMode::discard, OutputMode::discard);
    if (!reset) return false;
    auto outcome = runProcess(*reset, timing().sizeOverride, "adb wm size reset");
    if (!outcome.launched) {
        bridgeError(fmt::format("[ADBBridge] Failed to reset display size override: {}", outcome.launchError));
        return false;
    }
    bridgeLog(fmt::format("[ADBBridge] Reset display size override (was: {})", trimmedCopy(current.standardOutput)));
    return outcome.exitStatus == 0;
}

std::optional<int> querySystemSetting(const std::string& name, const Serial& serial)
{
    auto output = runADB({"shell", "settings", "get", "system", name}, serial, timing().settingGet);
    if (!output) return std::nullopt;
    return parseSettingValue(*output);
}

void setSystemSetting(const std::string& name, int value, const Serial& serial)
{
    auto options = makeADBProcess({"shell", "settings", "put", "system", name, std::to_string(value)}, serial,
        OutputMode::discard, OutputMode::discard);
    if (!options) return;
    auto outcome = runProcess(*options, timing().settingPut, "adb settings put");
    if (!outcome.launched) {
        bridgeError(
            fmt::format("[ADBBridge] Failed to set system setting {}={}: {}", name, value, outcome.launchError));
    }
}

std::optional<ToolsVersion> toolsVersion()
{
    auto output = runADB({"version"}, std::nullopt, timing().version);
    if (!output) return std::nullopt;
    return parseToolsVersion(*output);
}

PairOutcome pair(const std::string& target, const std::string& code)
{
    auto options = makeADBProcess({"pair", target, code}, std::nullopt, OutputMode::capture, OutputMode::mergeIntoOutput);
    if (!options) return {};
    // The label leaves the code out: it is a secret, however short-lived.
    auto outcome = runProcess(*options, timing().pair, "adb pair " + target);
    if (!outcome.launched) {
        SMLog::adb().error(fmt::format("Failed to run adb pair {}: {}", target, outcome.launchError));
        return {};
    }
    return {true, outcome.exitStatus, outcome.standardOutput};
}

} // namespace ADBBridge

BundleIntegrity BundleIntegrity::check(const std::optional<fs::path>& resources)
{
    std::error_code error;
    return resources && fs::is_regular_file(*resources / ADBBridge::BUNDLED_APK_NAME, error) ? ok : missingAPK;
}

BundleIntegrity BundleIntegrity::checkCurrentBundle() { return check(ADBBridge::resourcesDirectory()); }

std::string_view BundleIntegrity::description() const
{
    switch (value_) {
    case ok: return "ok";
    case missingAPK: return "missing_apk";
    }
    return "ok";
}

std::string BundleIntegrity::bannerMessage() const
{
    std::string_view what;
    switch (value_) {
    case ok: return {};
    case missingAPK: what = "companion APK is missing"; break;
    }
    return fmt::format("Your copy of QuillBright is incomplete — {}. Re-download from {}.", what, PRODUCT_WEBSITE);
}

} // namespace qb
