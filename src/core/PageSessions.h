// PageSessions: the engine's tablet pages (transport/TabletBridge.h). A
// page gets its own session (SessionKind::browserPage), found again by the
// page's id and pixel format, or started like a device's while the engine
// mirrors or waits for a device; it ends `grace` after the page's last
// connection went. Wherever the page is, its session serves only its
// bridge, on loopback: a paired page's address never joins the allow list.
// A page a device without the companion opened joins that device's session.
// Also: opening the page on the devices, the pages' pairing, and what
// every page is told (PageNotice.h).
//
// Ownership: made by the engine (always by std::shared_ptr), which it holds
// for its life; it holds the engine weakly (PageHost) and does nothing once
// the engine is gone. Main loop only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/MirrorStatus.h"
#include "runtime/Asio.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"
#include "session/DeviceSession.h"
#include "transport/TabletBridge.h"
#include "transport/TabletPairing.h"

namespace qb {

// What the engine does for its pages.
class PageHost {
public:
    virtual ~PageHost() = default;
    virtual const MirrorStatus& pageStatus() const = 0;
    virtual void setStatus(MirrorStatus status) = 0;
    virtual const std::vector<std::shared_ptr<DeviceSession>>& sessions() const = 0;
    // A page's session for `device`, on the first free stream port with
    // the size and mode a device of its own would get (held `portrait` or
    // not, when its tablet turned: the preset of that orientation at the
    // same density); null when no port is left.
    virtual std::shared_ptr<DeviceSession> makePageSession(const ConnectedDevice& device, PixelFormat pixelFormat,
        std::optional<bool> portrait)
        = 0;
    // Starts it; it joins the engine's sessions when it started.
    virtual asio::awaitable<void> startPageSession(std::shared_ptr<DeviceSession> session) = 0;
    // Takes it out of the engine's sessions (its stop is the caller's).
    virtual void dropSession(const std::shared_ptr<DeviceSession>& session) = 0;
    // Where the pages' own tasks go: a stop cancels them.
    virtual TaskGroup& pageTasks() = 0;
};

class PageSessions : public std::enable_shared_from_this<PageSessions> {
public:
    PageSessions(Duration grace, std::shared_ptr<TabletPairing> pairing);
    void attach(std::weak_ptr<PageHost> host) { host_ = std::move(host); }

    // What the tablet bridge connects a page to; none when the engine is
    // stopped or busy starting another page (the page tries again).
    asio::awaitable<std::optional<TabletTarget>> target(TabletHello hello);
    // While running: the tablet page's tunnel and a VIEW intent on every
    // device's session, as when its companion is missing.
    void openOnDevices();
    // Wi-Fi mode: a fresh one-time code a tablet page off this machine pairs
    // with; `forgetAll` revokes every page's token (false when the list
    // could not be saved).
    std::string issuePairingCode();
    bool forgetAll();
    const std::shared_ptr<TabletPairing>& pairing() const { return pairing_; }
    // Whether greyscale pages flash clean by themselves after many partial
    // updates: every page is told when it connects and at each change.
    void setAutoRefresh(bool on);

private:
    std::shared_ptr<PageHost> host() const { return host_.lock(); }
    asio::awaitable<std::optional<TabletTarget>> pageSession(std::shared_ptr<PageHost> host, TabletHello hello);
    void left(const std::string& serial);
    asio::awaitable<void> graceEnded(std::string serial, std::uint64_t generation);
    // A page's tablet turned (or a page says hello in the other orientation
    // than its session's): when the page's session is of the other
    // orientation it ends at once, and no page session starts until it has,
    // so the page, connecting again with its screen's new size, gets a
    // display of the preset for that orientation.
    void turned(const std::string& serial, int width, int height);
    asio::awaitable<void> endSession(std::string serial, std::string why);
    asio::awaitable<void> endForTurn(std::string serial);
    // Until every page session that is ending has stopped: a stopping
    // session still holds its ports, which the next page's session may be
    // given.
    asio::awaitable<void> endingsDone();

    struct Link {
        int connections = 0;
        std::uint64_t generation = 0; // each departure's grace period; a later one supersedes it
        std::optional<bool> portrait; // since the page's tablet turned: how it is held
        bool turning = false;         // its session ended for a turn: kept past the grace for its return
    };
    const Duration grace_;
    const std::shared_ptr<TabletPairing> pairing_;
    const std::shared_ptr<PageNotice> notice_ = std::make_shared<PageNotice>();
    std::weak_ptr<PageHost> host_;
    std::map<std::string, Link> links_; // by the page session's serial
    bool starting_ = false;
    int ending_ = 0;                               // page sessions stopping now
    std::shared_ptr<asio::steady_timer> ended_;    // cancelled when the last of them has stopped
};

} // namespace qb
