#include "core/PageSessions.h"

#include <algorithm>

#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "runtime/MainLoop.h"
#include "runtime/OwnedTask.h"

namespace qb {

namespace {

std::shared_ptr<DeviceSession> findSession(const std::vector<std::shared_ptr<DeviceSession>>& sessions,
    const std::string& serial)
{
    for (const auto& session : sessions) {
        if (session->id() == serial) return session;
    }
    return nullptr;
}

TabletTarget targetOf(const DeviceSession& session, std::shared_ptr<PageNotice> notice, std::shared_ptr<void> lease,
    std::function<void(PageTurn)> turned = {})
{
    const auto& input = session.inputServer();
    return TabletTarget{session.tcpServer()->port(), input ? input->port() : std::uint16_t(0), std::move(lease),
        input ? input->openPageInput() : nullptr, std::move(turned), std::move(notice)};
}

bool serving(const std::shared_ptr<DeviceSession>& session)
{
    return session && session->tcpServer() && session->tcpServer()->port() != 0;
}

// A device's companion-less session's own coroutine: its page on the device.
asio::awaitable<void> openPageOn(std::shared_ptr<DeviceSession> session) { co_await session->openTabletPage(); }

} // namespace

PageSessions::PageSessions(Duration grace, std::shared_ptr<TabletPairing> pairing)
    : grace_(grace)
    , pairing_(std::move(pairing))
{
}

asio::awaitable<std::optional<TabletTarget>> PageSessions::target(TabletHello hello)
{
    const auto self = shared_from_this();
    const auto owner = host();
    if (!owner) co_return std::nullopt;
    co_return co_await pageSession(owner, std::move(hello));
}

// GCC 12 inlines Asio's coroutine-frame allocator into this coroutine and
// then mistakes its matching operator delete for a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<std::optional<TabletTarget>> PageSessions::pageSession(std::shared_ptr<PageHost> owner,
    TabletHello hello)
{
    if (!hello.deviceSerial.empty()) {
        // The page a device without the companion opened joins that device's
        // session (whose display turns with the device).
        const auto session = findSession(owner->sessions(), hello.deviceSerial);
        if (!serving(session)) co_return std::nullopt;
        co_return targetOf(*session, notice_, nullptr);
    }
    const std::string serial = fmt::format("page-{}-{}", hello.pageId, label(hello.pixelFormat));
    co_await endingsDone(); // a page back as its grace ran out finds its old session gone, ports and all
    std::shared_ptr<DeviceSession> session = findSession(owner->sessions(), serial);
    if (session && !session->isPage()) co_return std::nullopt; // a device of that name
    if (!session) {
        const bool waiting = owner->pageStatus().is(MirrorStatus::Kind::waitingForDevice);
        // One page's session starts at a time; a page that finds the daemon
        // stopped or busy tries again.
        if ((!waiting && !owner->pageStatus().is(MirrorStatus::Kind::running)) || starting_) co_return std::nullopt;
        std::optional<bool> portrait;
        if (const auto link = links_.find(serial); link != links_.end() && link->second.portrait) {
            portrait = link->second.portrait;
            link->second.turning = false;
        }
        session = owner->makePageSession(ConnectedDevice{serial, "browser", hello.width, hello.height},
            hello.pixelFormat, portrait);
        if (!session) co_return std::nullopt;
        const auto& resolution = session->resolution();
        componentLog(LogLevel::info, "MirrorEngine",
            fmt::format("[MirrorEngine] Tablet page {} ({}x{}, {}) → port {}, {}x{} {}", hello.pageId, hello.width,
                hello.height, label(hello.pixelFormat), session->port(), resolution.width, resolution.height,
                session->displayMode() == DisplayMode::extended ? "extended" : "mirror"));
        starting_ = true;
        if (waiting) owner->setStatus(MirrorStatus::starting());
        auto starting = owner->startPageSession(session);
        try {
            co_await std::move(starting);
        } catch (...) {
            starting_ = false;
            throw;
        }
        starting_ = false;
        session = findSession(owner->sessions(), serial);
        if (waiting && owner->pageStatus().is(MirrorStatus::Kind::starting)) {
            owner->setStatus(session ? MirrorStatus::running() : MirrorStatus::waitingForDevice());
        }
        if (!session) co_return std::nullopt;
    }
    if (!serving(session)) co_return std::nullopt;
    // The page's address stays off the allow list: its token opens this
    // stream, which reaches the session on loopback, and no other port.
    ++links_[serial].connections;
    std::weak_ptr<PageSessions> weak = weak_from_this();
    std::shared_ptr<void> lease(nullptr, [weak, serial](void*) {
        MainLoop::shared().post([weak, serial] {
            if (auto self = weak.lock()) self->left(serial);
        });
    });
    auto turned = [weak, serial](PageTurn turn) {
        MainLoop::shared().post([weak, serial, turn] {
            if (auto self = weak.lock()) self->turned(serial, turn.width, turn.height);
        });
    };
    co_return targetOf(*session, notice_, std::move(lease), std::move(turned));
}
#pragma GCC diagnostic pop

void PageSessions::left(const std::string& serial)
{
    const auto owner = host();
    if (!owner) return;
    auto& link = links_[serial];
    if (--link.connections > 0) return;
    link.connections = 0;
    owner->pageTasks().spawn(ownedTaskAfter(grace_, weak_from_this(), &PageSessions::graceEnded, serial,
                                 ++link.generation),
        "tablet page grace");
}

asio::awaitable<void> PageSessions::graceEnded(std::string serial, std::uint64_t generation)
{
    const auto owner = host();
    if (!owner) co_return;
    const auto link = links_.find(serial);
    if (link == links_.end() || link->second.connections > 0 || link->second.generation != generation
        || link->second.turning) {
        co_return;
    }
    links_.erase(link);
    co_await endSession(std::move(serial), "gone");
}

asio::awaitable<void> PageSessions::endSession(std::string serial, std::string why)
{
    const auto owner = host();
    if (!owner) co_return;
    const auto session = findSession(owner->sessions(), serial);
    if (!session) co_return;
    owner->dropSession(session);
    logInfo("Engine", "Tablet page " + serial + " " + why + " — its session ends");
    struct Ending {
        PageSessions& pages;
        explicit Ending(PageSessions& p) : pages(p) { ++pages.ending_; }
        ~Ending()
        {
            if (--pages.ending_ > 0 || !pages.ended_) return;
            pages.ended_->cancel();
            pages.ended_.reset();
        }
    } ending{*this};
    co_await session->stop();
    if (owner->sessions().empty() && owner->pageStatus().is(MirrorStatus::Kind::running)) {
        owner->setStatus(MirrorStatus::waitingForDevice());
    }
}

asio::awaitable<void> PageSessions::endingsDone()
{
    while (ending_ > 0) {
        if (!ended_) {
            ended_ = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor,
                asio::steady_timer::time_point::max());
        }
        const auto ended = ended_;
        boost::system::error_code ignored;
        co_await ended->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) co_return;
    }
}

void PageSessions::turned(const std::string& serial, int width, int height)
{
    const auto owner = host();
    if (!owner) return;
    const auto session = findSession(owner->sessions(), serial);
    if (!session || session->resolution().isPortrait() == (width < height)) return;
    auto& link = links_[serial];
    link.portrait = width < height;
    link.turning = true;
    starting_ = true; // the page's next hello waits for the turn
    owner->pageTasks().spawn(ownedTask(weak_from_this(), &PageSessions::endForTurn, serial), "tablet page turned");
}

asio::awaitable<void> PageSessions::endForTurn(std::string serial)
{
    struct Done {
        bool& starting;
        ~Done() { starting = false; }
    } done{starting_};
    co_await endSession(std::move(serial), "turned");
}

void PageSessions::openOnDevices()
{
    const auto owner = host();
    if (!owner || !owner->pageStatus().is(MirrorStatus::Kind::running)) return;
    for (const auto& session : owner->sessions()) {
        if (session->isPage()) continue; // a page's own session
        logInfo("Engine", "Opening the tablet page on " + session->id() + " (asked for)");
        // A stop cancels it with the reconnects: no page tunnel outlives the session.
        owner->pageTasks().spawn(openPageOn(session), "open tablet page");
    }
}

void PageSessions::setAutoRefresh(bool on) { notice_->set(on ? "refresh auto on" : "refresh auto off"); }

std::string PageSessions::issuePairingCode()
{
    const std::string code = pairing_->issueCode();
    logInfo("Engine", "Tablet pairing code issued");
    return code;
}

bool PageSessions::forgetAll()
{
    const bool saved = pairing_->forgetAll();
    logInfo("Engine", saved ? "Every paired tablet page forgotten" : "Paired tablet pages could not be forgotten");
    return saved;
}

} // namespace qb
