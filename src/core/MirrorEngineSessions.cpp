// The engine's sessions: the ones a start and a tablet page make, what they
// report (figures, clients, the round trip, the companion's install and
// crash, a display that left) and where their devices are reached on the
// network.
#include "core/MirrorEngine.h"

#include <algorithm>

#include "runtime/OwnedTask.h"

#include "core/StatsAggregation.h"
#include "diagnostics/Log.h"
#include "diagnostics/MetricsRing.h"
#include "runtime/Clock.h"

namespace qb {

std::shared_ptr<DeviceSession> MirrorEngine::makeDeviceSession(const LineupEntry& entry)
{
    const bool wifi = state_.connectionMode == ConnectionMode::wifi;
    SessionSetup setup{.kind = wifi ? SessionKind::lanDevice : SessionKind::usbDevice, .device = entry.device,
        .port = entry.port, .resolution = entry.resolution, .displayMode = entry.displayMode,
        .pixelFormat = entry.pixelFormat, .bindAddress = {}, .inputPort = environment_.ports.input};
    auto environment = environment_.session;
    if (preview_.running()) environment.pagePort = preview_.http()->port();
    // Only this device may touch the desktop or start and stop over the LAN.
    if (wifi) {
        for (const auto& address : deviceAddresses(entry.device)) lanPeers_->allow(address);
    }
    return std::make_shared<DeviceSession>(std::move(setup), environment_.makeADBBridge(entry.device), timing_.session,
        std::move(environment));
}

namespace {

// The preset mode ("portrait-cozy", "landscape-sharp", ...) of the same
// density in the orientation a turned page holds.
std::string turnedMode(const std::string& mode, bool portrait)
{
    const auto dash = mode.find('-');
    return (portrait ? "portrait" : "landscape") + (dash == std::string::npos ? std::string("-cozy") : mode.substr(dash));
}

} // namespace

std::shared_ptr<DeviceSession> MirrorEngine::makePageSession(const ConnectedDevice& device, PixelFormat pixelFormat,
    std::optional<bool> portrait)
{
    const auto& ports = environment_.ports;
    std::uint16_t port = 0;
    for (std::size_t index = 0; port == 0; ++index) {
        const std::uint16_t candidate = ports.streamPort(index);
        if (candidate == 0) return nullptr;
        const bool taken = std::any_of(sessions_.begin(), sessions_.end(),
            [candidate](const auto& s) { return s->port() == candidate; });
        if (!taken) port = candidate;
    }
    LineupChoices choices{ports, state_.displayMode, state_.resolution, state_.nonDC1Mode};
    if (portrait) choices.nonDC1Mode = turnedMode(choices.nonDC1Mode, *portrait);
    // The page reaches its servers through the bridge, on this machine, and
    // has an input server of its own: the device port 8892 stays the companion's.
    SessionSetup setup{.kind = SessionKind::browserPage, .device = device, .port = port,
        .resolution = resolutionForDevice(device, choices, nativeSizes_),
        .displayMode = sessions_.empty() ? state_.displayMode : DisplayMode::extended, .pixelFormat = pixelFormat,
        .bindAddress = {}, .inputPort = 0};
    return std::make_shared<DeviceSession>(std::move(setup), environment_.makeADBBridge(device), timing_.session,
        environment_.session);
}

asio::awaitable<void> MirrorEngine::startPageSession(std::shared_ptr<DeviceSession> session)
{
    co_await startSession(std::move(session));
}

void MirrorEngine::dropSession(const std::shared_ptr<DeviceSession>& session)
{
    const auto found = std::find(sessions_.begin(), sessions_.end(), session);
    if (found == sessions_.end()) return;
    sessions_.erase(found);
    notify(EngineProperty::sessions);
}

bool MirrorEngine::lineupOutdated(const LineupChoices& used) const
{
    if (!(used.dc1Resolution == state_.resolution) || used.firstDisplayMode != state_.displayMode) return true;
    return used.nonDC1Mode != state_.nonDC1Mode
        && std::any_of(sessions_.begin(), sessions_.end(),
            [](const auto& s) { return s->device().deviceFamily() != DeviceFamily::daylightDC1; });
}

void MirrorEngine::watchSession(const std::shared_ptr<DeviceSession>& session)
{
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    session->onStatsChanged = [weak] {
        if (auto self = weak.lock()) self->aggregateStats();
    };
    session->onClientCountChanged = [weak](int) {
        if (auto self = weak.lock()) self->aggregateClientCount();
    };
    session->onLatencyStats = [weak](const LatencyStats& stats) {
        auto self = weak.lock();
        if (!self) return;
        auto figures = self->state_.stats;
        figures.rttMs = stats.rttAvgMs;
        figures.rttP95Ms = stats.rttP95Ms;
        self->publish(&EngineState::stats, figures, EngineProperty::stats);
    };
    const std::string serial = session->id();
    session->onCompanionCrashed = [weak, serial] {
        auto self = weak.lock();
        if (!self) return;
        logError("Engine", "Companion app crashed on " + serial + " — stopping session");
        self->setStatus(MirrorStatus::error("Companion app crashed on device", MirrorStatus::Cause::companionCrashed));
    };
    session->onDisplayGone = [weak, serial] {
        auto self = weak.lock();
        if (!self
            || !(self->state_.status.is(MirrorStatus::Kind::running)
                || self->state_.status.is(MirrorStatus::Kind::starting))) {
            return;
        }
        logWarn("Engine", "The display of " + serial + " left the desktop (the layout changed): restarting");
        self->lifecycle_->reconnects().spawn(
            ownedTaskAfter(self->timing_.displayGoneRestartDelay, weak, &MirrorEngine::rebuildGoneDisplay),
            "display gone");
    };
    session->onInstallProgress = [weak](const std::string& text, bool missing) {
        auto self = weak.lock();
        if (!self || (text == self->state_.apkInstallStatus && missing == self->state_.companionMissing)) return;
        self->published_->update(EngineProperty::apkInstallStatus, [&](EngineState& state) {
            state.apkInstallStatus = text;
            state.companionMissing = missing;
        });
    };
    session->onSetupFailure = [weak](const std::string& message, SetupFailureCause cause) {
        auto self = weak.lock();
        if (!self || (self->state_.lastADBFailureMessage == message && self->state_.lastADBFailureCause == cause)) return;
        self->published_->update(EngineProperty::lastADBFailureMessage, [&](EngineState& state) {
            state.lastADBFailureMessage = message;
            state.lastADBFailureCause = cause;
        });
    };
}

std::vector<asio::ip::address> MirrorEngine::deviceAddresses(const ConnectedDevice& device) const
{
    std::vector<asio::ip::address> addresses;
    if (const auto address = deviceAddressFromSerial(device.serial)) addresses.push_back(*address);
    const auto paired = environment_.settings ? environment_.settings->pairedDevices() : std::vector<PairedDevice>{};
    if (const auto remembered = pairedAddress(paired, device.serial)) {
        boost::system::error_code error;
        const auto address = asio::ip::make_address(*remembered, error);
        if (!error) addresses.push_back(address);
    }
    return addresses;
}

std::vector<StreamStats> MirrorEngine::sessionStats() const
{
    std::vector<StreamStats> stats;
    for (const auto& session : sessions_) stats.push_back(session->stats());
    return stats;
}

void MirrorEngine::aggregateStats()
{
    if (sessions_.empty()) return;
    publish(&EngineState::stats, foldSessionStats(state_.stats, sessionStats()), EngineProperty::stats);
    const auto& first = *sessions_.front();
    if (first.companionVersion()) {
        publish(&EngineState::companionVersion, first.companionVersion(), EngineProperty::companionVersion);
    }
    publish(&EngineState::companionUpdateFailed, first.companionUpdateFailed(), EngineProperty::companionUpdateFailed);
    MetricsRing::shared().record({wallNow(), state_.stats});
}

void MirrorEngine::aggregateClientCount()
{
    const int previous = state_.stats.clientCount;
    auto figures = state_.stats;
    figures.clientCount = totalClients(sessionStats());
    publish(&EngineState::stats, figures, EngineProperty::stats);
    environment_.hostDimming->clientCountChanged(previous, figures.clientCount, state_.autoDimHost,
        state_.displayMode, state_.status);
}

} // namespace qb
