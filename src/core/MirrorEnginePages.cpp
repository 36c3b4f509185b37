// The engine's tablet pages: a browser tablet's own session, found again
// by the page's id and pixel format, ended a grace period after the page's
// last connection went, and started again in the other orientation when
// the page's tablet turns.
#include "core/MirrorEngine.h"

#include <algorithm>

#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "runtime/Background.h"
#include "runtime/MainLoop.h"

namespace qb {

namespace {

// The preset mode ("portrait-cozy", "landscape-sharp", ...) of the same
// density in the orientation a turned page holds.
std::string turnedMode(const std::string& mode, bool portrait)
{
    const auto dash = mode.find('-');
    return (portrait ? "portrait" : "landscape") + (dash == std::string::npos ? std::string("-cozy") : mode.substr(dash));
}

} // namespace

asio::awaitable<std::optional<TabletTarget>> MirrorEngine::tabletTarget(std::weak_ptr<MirrorEngine> weak,
    TabletHello hello)
{
    auto self = weak.lock();
    if (!self) co_return std::nullopt;
    co_return co_await self->pageSession(std::move(hello));
}

// GCC 12 inlines Asio's coroutine-frame allocator into this coroutine and
// then mistakes its matching operator delete for a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<std::optional<TabletTarget>> MirrorEngine::pageSession(TabletHello hello)
{
    const auto self = shared_from_this();
    if (!hello.deviceSerial.empty()) {
        // The page a device without the companion opened joins that device's session.
        for (const auto& session : sessions_) {
            const auto& frames = session->tcpServer();
            if (session->id() != hello.deviceSerial || !frames || frames->port() == 0) continue;
            const auto& input = session->inputServer();
            co_return TabletTarget{frames->port(), input ? input->boundPort() : std::uint16_t(0), nullptr,
                input ? input->openPageInput() : nullptr, {}}; // a device's display turns with the device
        }
        co_return std::nullopt;
    }
    const std::string serial = fmt::format("page-{}-{}", hello.pageId, label(hello.pixelFormat));
    const auto find = [this, &serial]() -> std::shared_ptr<DeviceSession> {
        for (const auto& session : sessions_) {
            if (session->id() == serial) return session;
        }
        return nullptr;
    };
    std::shared_ptr<DeviceSession> session = find();
    if (!session) {
        const bool waiting = state_.status.is(MirrorStatus::Kind::waitingForDevice);
        // One page's session starts at a time; a page that finds the daemon
        // stopped or busy tries again.
        if ((!waiting && !state_.status.is(MirrorStatus::Kind::running)) || pageStarting_) co_return std::nullopt;
        ConnectedDevice device{serial, "browser", hello.width, hello.height};
        const auto& ports = environment_.ports;
        LineupChoices choices{ports, state_.displayMode, state_.resolution, state_.nonDC1Mode};
        if (const auto link = pages_.find(serial); link != pages_.end() && link->second.portrait) {
            choices.nonDC1Mode = turnedMode(choices.nonDC1Mode, *link->second.portrait);
            link->second.turning = false;
        }
        const DisplayResolution resolution = resolutionForDevice(device, choices, nativeSizes_);
        std::uint16_t port = 0;
        for (std::size_t index = 0; port == 0; ++index) {
            const std::uint16_t candidate = ports.streamPort(index);
            if (candidate == 0) break;
            const bool taken = std::any_of(sessions_.begin(), sessions_.end(),
                [candidate](const auto& s) { return s->port() == candidate; });
            if (!taken) port = candidate;
        }
        if (port == 0) co_return std::nullopt;
        const DisplayMode mode = sessions_.empty() ? state_.displayMode : DisplayMode::extended;
        auto environment = environment_.session;
        environment.inputPort = 0; // its own input server: the device port 8892 stays the companion's
        session = std::make_shared<DeviceSession>(port, resolution, mode, device, hello.pixelFormat,
            environment_.makeADBBridge(device), timing_.session, environment);
        session->setSkipADB(true);
        // The page reaches its servers through the bridge, on this machine.
        session->setBindAddress(std::string(LOOPBACK_ADDRESS));
        engineLine(fmt::format("[MirrorEngine] Tablet page {} ({}x{}, {}) → port {}, {}x{} {}", hello.pageId,
            hello.width, hello.height, label(hello.pixelFormat), port, resolution.width, resolution.height,
            mode == DisplayMode::extended ? "extended" : "mirror"));
        pageStarting_ = true;
        if (waiting) setStatus(MirrorStatus::starting());
        auto starting = startSession(session);
        try {
            co_await std::move(starting);
        } catch (...) {
            pageStarting_ = false;
            throw;
        }
        pageStarting_ = false;
        session = find();
        if (waiting && state_.status.is(MirrorStatus::Kind::starting)) {
            setStatus(session ? MirrorStatus::running() : MirrorStatus::waitingForDevice());
        }
        if (!session) co_return std::nullopt;
    }
    const auto& frames = session->tcpServer();
    if (!frames || frames->port() == 0) co_return std::nullopt;
    // The page's address stays off the allow list: its token opens this
    // stream, which reaches the session on loopback, and no other port.
    ++pages_[serial].connections;
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    std::shared_ptr<void> lease(nullptr, [weak, serial](void*) {
        MainLoop::shared().post([weak, serial] {
            if (auto self = weak.lock()) self->pageLeft(serial);
        });
    });
    const auto& input = session->inputServer();
    auto turned = [weak, serial](PageTurn turn) {
        MainLoop::shared().post([weak, serial, turn] {
            if (auto self = weak.lock()) self->turnPage(serial, turn.width, turn.height);
        });
    };
    co_return TabletTarget{frames->port(), input ? input->boundPort() : std::uint16_t(0), std::move(lease),
        input ? input->openPageInput() : nullptr, std::move(turned)};
}
#pragma GCC diagnostic pop

void MirrorEngine::openTabletPages()
{
    if (!state_.status.is(MirrorStatus::Kind::running)) return;
    for (const auto& session : sessions_) {
        if (session->skipADB()) continue; // a page's own session, or a device on the network
        logInfo("Engine", "Opening the tablet page on " + session->id() + " (asked for)");
        // A stop cancels it with the reconnects: no page tunnel outlives the session.
        reconnects_.spawn(openTabletPageTask(session), "open tablet page");
    }
}

asio::awaitable<void> MirrorEngine::openTabletPageTask(std::shared_ptr<DeviceSession> session)
{
    co_await session->openTabletPage();
}

std::string MirrorEngine::issueTabletPairingCode()
{
    const std::string code = environment_.tabletPairing->issueCode();
    logInfo("Engine", "Tablet pairing code issued");
    return code;
}

bool MirrorEngine::forgetTabletPages()
{
    const bool saved = environment_.tabletPairing->forgetAll();
    logInfo("Engine", saved ? "Every paired tablet page forgotten" : "Paired tablet pages could not be forgotten");
    return saved;
}

void MirrorEngine::pageLeft(const std::string& serial)
{
    auto& link = pages_[serial];
    if (--link.connections > 0) return;
    link.connections = 0;
    reconnects_.spawn(pageGraceTask(weak_from_this(), serial, ++link.generation), "tablet page grace");
}

asio::awaitable<void> MirrorEngine::pageGraceTask(std::weak_ptr<MirrorEngine> weak, std::string serial,
    std::uint64_t generation)
{
    Duration grace{};
    if (auto self = weak.lock()) grace = self->timing_.pageSessionGrace;
    const bool completed = co_await sleepFor(grace);
    if (!completed) co_return;
    auto self = weak.lock();
    if (!self) co_return;
    const auto link = self->pages_.find(serial);
    if (link == self->pages_.end() || link->second.connections > 0 || link->second.generation != generation
        || link->second.turning) {
        co_return;
    }
    self->pages_.erase(link);
    co_await endPageSession(std::move(self), std::move(serial), "gone");
}

asio::awaitable<void> MirrorEngine::endPageSession(std::shared_ptr<MirrorEngine> self, std::string serial,
    std::string why)
{
    const auto found = std::find_if(self->sessions_.begin(), self->sessions_.end(),
        [&serial](const auto& s) { return s->id() == serial; });
    if (found == self->sessions_.end()) co_return;
    const auto session = *found;
    self->sessions_.erase(found);
    self->notify(EngineProperty::sessions);
    logInfo("Engine", "Tablet page " + serial + " " + why + " — its session ends");
    co_await session->stop();
    if (self->sessions_.empty() && self->state_.status.is(MirrorStatus::Kind::running)) {
        self->setStatus(MirrorStatus::waitingForDevice());
    }
}

bool MirrorEngine::turnPage(const std::string& serial, int width, int height)
{
    const auto found = std::find_if(sessions_.begin(), sessions_.end(),
        [&serial](const auto& s) { return s->id() == serial; });
    if (found == sessions_.end()) return false;
    if ((*found)->resolution().isPortrait() == (width < height)) return false;
    pages_[serial].portrait = width < height;
    pages_[serial].turning = true;
    pageStarting_ = true; // the page's next hello waits for the turn
    reconnects_.spawn(
        [](std::shared_ptr<MirrorEngine> self, std::string serial) -> asio::awaitable<void> {
            struct Done {
                std::shared_ptr<MirrorEngine> self;
                ~Done() { self->pageStarting_ = false; }
            } done{self};
            co_await endPageSession(self, std::move(serial), "turned");
        }(shared_from_this(), serial),
        "tablet page turned");
    return true;
}

} // namespace qb
