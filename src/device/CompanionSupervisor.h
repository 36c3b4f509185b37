// CompanionSupervisor: the adb side of one device session — the reverse
// tunnels, the companion's install, version check and launch, the health
// check that relaunches it, the reconnect after the adb link returns, and the
// tunnels' removal at the end.
//
// Life (owned by the device session, always through a std::shared_ptr: its
// health check holds it weakly):
//   construct → setHostPorts() → co_await setUp() → startHealthCheck() if
//   connected() → any number of reconnect() → co_await halt() (first thing
//   of the session's stop) → co_await takeDown() (last thing of it).
//
// Threads: every member and callback runs on the main loop; the blocking adb
// calls run on the utility queue and are awaited, so cancelling the coroutine
// that awaits one (a stop cancels the engine's reconnects) ends its child
// and resumes the coroutine at once.
//
// Setup: up to three attempts, each checking the companion (installed?
// compatible version?, installing or updating it once) and then setting up
// the stream tunnel; then the input tunnel and the launch. A failure is not
// an error of the session: onSetupFailure tells the user what to do.
// Health check: every healthCheckInterval while connected; after three
// relaunches that did not bring the companion back it gives up and reports
// onCompanionCrashed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "config/EngineState.h"
#include "device/ADBBridging.h"
#include "runtime/Asio.h"
#include "runtime/Clock.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"

namespace qb {

struct CompanionSupervisorTiming {
    // Between tunnel attempts and before each companion version re-query.
    Duration retryPause = std::chrono::seconds(1);
    // First companion health check and the period after it.
    Duration healthCheckInterval = std::chrono::seconds(30);
};

class CompanionSupervisor : public std::enable_shared_from_this<CompanionSupervisor> {
public:
    using Timing = CompanionSupervisorTiming;

    static constexpr int TUNNEL_ATTEMPTS = 3;
    static constexpr int VERSION_REQUERIES = 3;
    static constexpr int MAX_RELAUNCHES = 3;

    // `wifiHost` gives the address a network-only session's companion is
    // launched with (asked at each launch).
    CompanionSupervisor(std::shared_ptr<ADBBridging> adb, std::string serial, std::string model, Timing timing,
        std::function<std::optional<std::string>()> wifiHost);
    ~CompanionSupervisor();
    CompanionSupervisor(const CompanionSupervisor&) = delete;
    CompanionSupervisor& operator=(const CompanionSupervisor&) = delete;

    // A network-only session launches the companion with this machine's
    // Wi-Fi address.
    void setNetworkOnly(bool networkOnly) { networkOnly_ = networkOnly; }
    // The host ports the tunnels point at; 0 for the input port when the
    // session holds no input server (then the device's input port is not
    // mapped, so its touches never reach another session's display).
    void setHostPorts(std::uint16_t stream, std::uint16_t input);
    // The host's tablet page port. When the companion is missing and cannot
    // be installed, setUp() maps the device's page port to it and opens the
    // tablet page in the device's browser instead (0: it never does).
    void setPagePort(std::uint16_t page) { pageHostPort_ = page; }
    // The page's tunnel and the VIEW intent (`quillbright tablet --browser`,
    // or setUp() for a missing companion); whether the page was opened.
    asio::awaitable<bool> openPageOnDevice();
    // The tablet page stands in for the companion on this device.
    bool usesBrowser() const { return usesBrowser_; }

    asio::awaitable<void> setUp();
    void startHealthCheck();
    // Ends the health check and cuts pauses short; setUp() gives up at its
    // next step. Awaits the health check's end, so no relaunch follows.
    asio::awaitable<void> halt();
    // Removes the tunnels if any were set up.
    asio::awaitable<void> takeDown();
    // Re-creates the tunnels and relaunches the companion without
    // force-restart (no install, no version check, no new health check).
    asio::awaitable<void> reconnect();

    // adb's server went away and the tunnels with it: the link counts as
    // down (the health check pauses, no relaunch is counted) until
    // reconnect() rebuilds it; the teardown still removes what may stand.
    void linkLost() { connected_ = false; }

    bool connected() const { return connected_; }
    const std::optional<std::string>& companionVersion() const { return companionVersion_; }
    bool companionUpdateFailed() const { return companionUpdateFailed_; }
    bool hasHealthCheck() const { return healthChecking_; }
    int relaunchAttempts() const { return relaunchAttempts_; }

    // Set before setUp(); called on the main loop.
    std::function<void(const std::string& message, SetupFailureCause cause)> onSetupFailure;
    // `missing`: the app is not there and none could be installed.
    std::function<void(const std::string& line, bool missing)> onInstallProgress;
    std::function<void()> onCompanionCrashed;

private:
    void cancelHealthCheck();
    static asio::awaitable<void> healthCheckLoop(std::weak_ptr<CompanionSupervisor> weak, Duration interval);
    asio::awaitable<bool> healthCheck();
    std::optional<std::string> launchHost() const;
    std::string prefix() const { return "[" + serial_ + "]"; }
    bool halted() const { return halted_; }

    const std::shared_ptr<ADBBridging> adb_;
    const std::string serial_;
    const std::string model_;
    const Timing timing_;
    const std::function<std::optional<std::string>()> wifiHost_;
    bool networkOnly_ = false;

    std::uint16_t streamHostPort_ = 0;
    std::uint16_t inputHostPort_ = 0;
    std::uint16_t pageHostPort_ = 0;
    bool usesBrowser_ = false;
    bool connected_ = false;
    bool tunnelsOpen_ = false; // a stream tunnel was (perhaps) set up and not yet removed
    bool halted_ = false;
    std::optional<std::string> companionVersion_;
    bool companionUpdateFailed_ = false;

    TaskGroup tasks_; // the health check (main loop)
    bool healthChecking_ = false;
    int relaunchAttempts_ = 0;
    Sleeper pause_;
};

} // namespace qb
