#include "device/CompanionSupervisor.h"

#include <algorithm>

#include <utility>

#include <fmt/format.h>

#include "config/DeviceModels.h"
#include "config/Ports.h"
#include "config/Version.h"
#include "device/ADBBridge.h"
#include "diagnostics/Log.h"
#include "runtime/Background.h"
#include "runtime/MainLoop.h"

namespace qb {

namespace {

constexpr std::string_view SESSION = "Session";
constexpr std::string_view COMPONENT = "DeviceSession";
constexpr std::string_view INTERRUPTED = "the session is stopping";

} // namespace

CompanionSupervisor::CompanionSupervisor(std::shared_ptr<ADBBridging> adb, std::string serial, std::string model,
    Timing timing, std::function<std::optional<std::string>()> wifiHost)
    : adb_(std::move(adb))
    , serial_(std::move(serial))
    , model_(std::move(model))
    , timing_(timing)
    , wifiHost_(std::move(wifiHost))
    , tasks_(MainLoop::shared().executor())
{
}

CompanionSupervisor::~CompanionSupervisor() { cancelHealthCheck(); }

void CompanionSupervisor::setHostPorts(std::uint16_t stream, std::uint16_t input)
{
    streamHostPort_ = stream;
    inputHostPort_ = input;
}

asio::awaitable<bool> CompanionSupervisor::openPageOnDevice()
{
    const std::uint16_t hostPort = pageHostPort_;
    const bool plainSerial = !serial_.empty() && std::all_of(serial_.begin(), serial_.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_';
    });
    // The address must survive the device's shell as it is.
    if (halted() || hostPort == 0 || !plainSerial) co_return false;
    const std::shared_ptr<ADBBridging> adb = adb_;
    const std::string serial = serial_;
    const std::function<bool()> tunnel = [adb, serial, hostPort] {
        return adb->setupReverseTunnel(serial, DEVICE_PAGE_PORT, hostPort);
    };
    // Counted from the attempt on, as the stream tunnel in setUp(): a tunnel
    // whose check a stop cut short may stand, and takeDown removes it.
    const bool before = usesBrowser_;
    usesBrowser_ = true;
    const bool tunnelled = co_await offMainLoop<bool>(tunnel, SESSION);
    if (!tunnelled) {
        if (!halted()) usesBrowser_ = before;
        co_return false;
    }
    // The session is named in the address, so the page joins this device's
    // session rather than asking for one of its own.
    const std::function<bool()> open = [adb, serial] {
        return adb->openPage(serial, fmt::format("http://localhost:{}/tablet/device/{}", DEVICE_PAGE_PORT, serial));
    };
    const bool opened = co_await offMainLoop<bool>(open, SESSION);
    co_return opened;
}

std::optional<std::string> CompanionSupervisor::launchHost() const
{
    if (networkOnly_ && wifiHost_) return wifiHost_();
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Setup

// GCC 12 inlines Asio's coroutine-frame allocator into this long coroutine
// and then mistakes its matching operator delete for a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<void> CompanionSupervisor::setUp()
{
    const std::string serial = serial_;
    const std::shared_ptr<ADBBridging> adb = adb_;
    const std::string expected(APP_VERSION);
    const std::function<bool()> installedCheck = [adb, serial] { return adb->isAppInstalled(serial); };
    const std::function<bool()> install = [adb, serial] { return adb->installBundledAPK(serial); };
    const std::function<std::optional<std::string>()> versionQuery = [adb, serial] {
        return adb->companionVersion(serial);
    };
    const std::function<bool()> resetOverride = [adb, serial] { return adb->resetDisplaySizeOverride(serial); };
    const std::function<bool()> removeTunnels = [adb, serial] {
        adb->removeReverseTunnel(serial, DEVICE_STREAM_PORT);
        adb->removeReverseTunnel(serial, DEVICE_INPUT_PORT);
        return true;
    };

    co_await offMainLoop<bool>(resetOverride, SESSION);

    bool tunnelUp = false;
    bool companionMissing = false;
    for (int attempt = 1; attempt <= TUNNEL_ATTEMPTS && !tunnelUp; ++attempt) {
        if (halted()) co_return;
        const bool installed = co_await offMainLoop<bool>(installedCheck, SESSION);
        companionMissing = false;
        if (!installed) {
            logInfo(SESSION, fmt::format("{} Installing companion app (attempt {})...", prefix(), attempt));
            if (onInstallProgress) {
                onInstallProgress(fmt::format("installing on {} (attempt {})", serial_, attempt), false);
            }
            const bool installedNow = co_await offMainLoop<bool>(install, SESSION);
            companionMissing = !installedNow;
            if (!installedNow && attempt == 1 && onInstallProgress) {
                onInstallProgress(fmt::format("missing on {}: none could be installed", serial_), true);
            }
        } else if (attempt == 1) {
            std::optional<std::string> version = co_await offMainLoop<std::optional<std::string>>(versionQuery, SESSION);
            companionVersion_ = std::move(version);
            if (!companionVersion_) {
                logWarn(SESSION, fmt::format("{} Could not query companion version — reinstalling", prefix()));
                co_await offMainLoop<bool>(install, SESSION);
                const bool paused = co_await pause_.sleep(timing_.retryPause);
                (void)paused; // an interrupted pause only ends early
                std::optional<std::string> requeried =
                    co_await offMainLoop<std::optional<std::string>>(versionQuery, SESSION);
                companionVersion_ = std::move(requeried);
            } else if (!isCompanionCompatible(*companionVersion_, expected)) {
                logInfo(SESSION, fmt::format("{} Companion v{} != host v{} — updating...", prefix(),
                                     *companionVersion_, expected));
                if (onInstallProgress) {
                    onInstallProgress(
                        fmt::format("updating v{} to v{} on {}", *companionVersion_, expected, serial_), false);
                }
                co_await offMainLoop<bool>(install, SESSION);
                std::optional<std::string> found;
                for (int query = 1; query <= VERSION_REQUERIES; ++query) {
                    const bool paused = co_await pause_.sleep(timing_.retryPause);
                    (void)paused;
                    std::optional<std::string> answer =
                        co_await offMainLoop<std::optional<std::string>>(versionQuery, SESSION);
                    found = std::move(answer);
                    if (found && isCompanionCompatible(*found, expected)) break;
                    if (query < VERSION_REQUERIES) {
                        logDebug(SESSION, fmt::format("{} Version query attempt {}/{} returned {} — retrying",
                                              prefix(), query, VERSION_REQUERIES, found ? *found : "nil"));
                    }
                }
                companionVersion_ = found;
                if (found && !isCompanionCompatible(*found, expected)) {
                    logError(SESSION, fmt::format("{} Bundled APK is stale (still v{} after install). Rebuild "
                                                  "with 'make android && make install'.",
                                          prefix(), *found));
                    companionUpdateFailed_ = true;
                }
            }
        }

        if (halted()) co_return;
        const int hostPort = streamHostPort_;
        const std::function<bool()> streamTunnel = [adb, serial, hostPort] {
            return adb->setupReverseTunnel(serial, DEVICE_STREAM_PORT, hostPort);
        };
        // Counted as open from the attempt on: a tunnel whose check was cut
        // short by a stop (the desktop gone mid-start) reports failure but
        // stands on the device, and the teardown must remove it.
        tunnelsOpen_ = true;
        tunnelUp = co_await offMainLoop<bool>(streamTunnel, SESSION);
        if (!tunnelUp && !halted()) tunnelsOpen_ = false;
        if (!tunnelUp && attempt < TUNNEL_ATTEMPTS) {
            logWarn(SESSION,
                fmt::format("{} Tunnel failed (attempt {}/{}), retrying...", prefix(), attempt, TUNNEL_ATTEMPTS));
            const bool paused = co_await pause_.sleep(timing_.retryPause);
            if (!paused) {
                componentLog(LogLevel::info, COMPONENT,
                    fmt::format("[DeviceSession] Sleep interrupted during ADB retry: {}", INTERRUPTED));
            }
        }
    }

    if (tunnelUp) {
        logInfo(SESSION, fmt::format("{} Stream tunnel established (device:{} → host:{})", prefix(),
                             DEVICE_STREAM_PORT, streamHostPort_));
        const int inputPort = inputHostPort_;
        if (inputPort == 0) {
            // Without an input server of our own the device's touches would
            // reach whichever session holds the input port.
            logWarn(SESSION, fmt::format("{} Input tunnel failed — touch disabled", prefix()));
        } else {
            const std::function<bool()> inputTunnel = [adb, serial, inputPort] {
                return adb->setupReverseTunnel(serial, DEVICE_INPUT_PORT, inputPort);
            };
            const bool inputUp = co_await offMainLoop<bool>(inputTunnel, SESSION);
            if (!inputUp) logWarn(SESSION, fmt::format("{} Input tunnel failed — touch disabled", prefix()));
        }
        if (halted()) {
            // stop() has already run and found no link to take down.
            co_await offMainLoop<bool>(removeTunnels, SESSION);
            co_return;
        }
        if (companionMissing && pageHostPort_ != 0 && !networkOnly_) {
            // No app to launch: the device's browser shows the tablet page.
            const bool opened = co_await openPageOnDevice();
            if (opened) {
                logInfo(SESSION, fmt::format("{} No companion app — using the tablet page in the device's browser "
                                             "instead",
                                     prefix()));
                connected_ = true;
                co_return;
            }
        }
        const std::optional<std::string> host = launchHost();
        const std::function<bool()> launch = [adb, serial, host] {
            adb->launchApp(serial, true, host);
            return true;
        };
        co_await offMainLoop<bool>(launch, SESSION);
        connected_ = true;
        co_return;
    }

    if (halted()) co_return; // the owner is tearing down; no message for the user
    logError(SESSION, fmt::format("{} ADB setup failed after {} attempts", prefix(), TUNNEL_ATTEMPTS));
    connected_ = false;
    const bool installed = co_await offMainLoop<bool>(installedCheck, SESSION);
    std::string message;
    SetupFailureCause cause = SetupFailureCause::other;
    if (!installed) {
        cause = SetupFailureCause::companionNotInstalled;
        message = fmt::format("Companion app failed to install on {}. Check USB debugging is enabled, then "
                              "unplug and replug the device.",
            model_);
    } else if (companionUpdateFailed_) {
        cause = SetupFailureCause::companionStale;
        message = fmt::format("Bundled companion APK is stale (v{}). Reinstall QuillBright from {}.",
            companionVersion_.value_or("?"), PRODUCT_WEBSITE);
    } else {
        message = fmt::format("Reverse tunnel failed after {} attempts. Check that no other app is using adb "
                              "(close Android Studio or other tools, then reconnect the device).",
            TUNNEL_ATTEMPTS);
    }
    if (onSetupFailure) onSetupFailure(message, cause);
}
#pragma GCC diagnostic pop

// ---------------------------------------------------------------------------
// Health check

void CompanionSupervisor::startHealthCheck()
{
    tasks_.cancelAll(); // replaces a previous check
    healthChecking_ = true;
    tasks_.spawn(healthCheckLoop(weak_from_this(), timing_.healthCheckInterval), "health check");
}

void CompanionSupervisor::cancelHealthCheck()
{
    healthChecking_ = false;
    tasks_.cancelAll();
}

asio::awaitable<void> CompanionSupervisor::healthCheckLoop(std::weak_ptr<CompanionSupervisor> weak, Duration interval)
{
    for (;;) {
        const bool waited = co_await sleepFor(interval);
        if (!waited) co_return;
        const auto session = weak.lock();
        if (!session) co_return;
        const bool keepChecking = co_await session->healthCheck();
        if (!keepChecking) co_return;
    }
}

// One check; false once the companion is given up on.
asio::awaitable<bool> CompanionSupervisor::healthCheck()
{
    // The browser needs no relaunch: the page reconnects by itself.
    if (!connected_ || halted() || usesBrowser_) co_return true;
    const std::string serial = serial_;
    const std::shared_ptr<ADBBridging> adb = adb_;
    const std::function<bool()> query = [adb, serial] { return adb->isCompanionRunning(serial); };
    const bool running = co_await offMainLoop<bool>(query, SESSION);
    // adb's server was lost during the query: no answer about the companion.
    if (!connected_ || halted()) co_return true;
    if (running) {
        const int relaunches = std::exchange(relaunchAttempts_, 0);
        if (relaunches > 0) {
            logInfo(SESSION, fmt::format("{} Companion recovered after {} relaunch(es)", prefix(), relaunches));
        }
        co_return true;
    }
    const int misses = ++relaunchAttempts_;
    logWarn(SESSION, fmt::format("{} Companion not running (attempt {}/{})", prefix(), misses, MAX_RELAUNCHES));
    if (misses <= MAX_RELAUNCHES) {
        const std::optional<std::string> host = launchHost();
        const std::function<bool()> relaunch = [adb, serial, host] {
            adb->launchApp(serial, true, host);
            return true;
        };
        if (!halted()) co_await offMainLoop<bool>(relaunch, SESSION);
        co_return true;
    }
    logError(SESSION, fmt::format("{} Companion crashed — {} relaunch attempts failed", prefix(), MAX_RELAUNCHES));
    healthChecking_ = false;
    if (onCompanionCrashed) onCompanionCrashed();
    co_return false;
}

// ---------------------------------------------------------------------------
// End

asio::awaitable<void> CompanionSupervisor::halt()
{
    halted_ = true;
    pause_.interrupt();
    cancelHealthCheck();
    co_await tasks_.join();
}

asio::awaitable<void> CompanionSupervisor::takeDown()
{
    // Also when a cancelled setup had opened the tunnels but not yet
    // launched the companion: nothing of ours stays on the device.
    if (connected_ || tunnelsOpen_) {
        const std::shared_ptr<ADBBridging> adb = adb_;
        const std::string serial = serial_;
        const bool page = usesBrowser_;
        const std::function<bool()> removeTunnels = [adb, serial, page] {
            adb->removeReverseTunnel(serial, DEVICE_STREAM_PORT);
            adb->removeReverseTunnel(serial, DEVICE_INPUT_PORT);
            if (page) adb->removeReverseTunnel(serial, DEVICE_PAGE_PORT);
            return true;
        };
        co_await offMainLoop<bool>(removeTunnels, SESSION);
        connected_ = false;
        usesBrowser_ = false;
        tunnelsOpen_ = false;
    }
}

// ---------------------------------------------------------------------------
// Reconnect

asio::awaitable<void> CompanionSupervisor::reconnect()
{
    if (halted()) co_return; // a stopped session keeps no link
    const std::shared_ptr<ADBBridging> adb = adb_;
    const std::string serial = serial_;
    const std::uint16_t streamPort = streamHostPort_;
    const std::function<bool()> streamTunnel = [adb, serial, streamPort] {
        return adb->setupReverseTunnel(serial, DEVICE_STREAM_PORT, streamPort);
    };
    tunnelsOpen_ = true; // as in setUp(): a tunnel whose check a stop cut short may stand
    const bool tunnelled = co_await offMainLoop<bool>(streamTunnel, SESSION);
    if (!tunnelled) {
        logError(SESSION, fmt::format("{} Reconnect tunnel failed", prefix()));
        co_return;
    }
    logInfo(SESSION,
        fmt::format("{} Stream tunnel re-established (device:{} → host:{})", prefix(), DEVICE_STREAM_PORT, streamPort));
    const std::uint16_t inputPort = inputHostPort_;
    const std::function<bool()> inputTunnel = [adb, serial, inputPort] {
        return inputPort != 0 && adb->setupReverseTunnel(serial, DEVICE_INPUT_PORT, inputPort);
    };
    const bool inputUp = co_await offMainLoop<bool>(inputTunnel, SESSION);
    if (!inputUp) {
        logWarn(SESSION, fmt::format("{} Input tunnel failed on reconnect — touch disabled", prefix()));
    }
    if (halted()) co_return;
    bool pageOpened = false;
    if (usesBrowser_) pageOpened = co_await openPageOnDevice();
    if (!pageOpened) {
        const std::optional<std::string> host = launchHost();
        const std::function<bool()> launch = [adb, serial, host] {
            adb->launchApp(serial, false, host);
            return true;
        };
        co_await offMainLoop<bool>(launch, SESSION);
    }
    if (halted()) co_return;
    connected_ = true;
    logInfo(SESSION, fmt::format("{} Reconnected", prefix()));
}

} // namespace qb
