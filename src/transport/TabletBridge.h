// The tablet page's WebSocket (GET /tablet/stream on the preview's HTTP
// port, so one port, one adb reverse tunnel, carries the page and its
// stream). The page's first message is its hello, a text message
//
//   hello <width> <height> <grey|rgb> <page id> [<device serial>]
//
// (its screen in device pixels, the pixel format it wants, an id that stays
// the same across its reconnects, and the device's serial when the daemon
// opened the page on a device over adb). The owner's lookup finds or makes
// the session for it; the page's connection then becomes an ordinary client
// of that session's frame server and input server on loopback, so the page
// is greeted, given the cached keyframe, paced and counted in the round-trip
// statistics exactly as the companion is:
//
//   frame server --bytes--> HostMessageReader --one WS message per stream message--> page
//   page --6-byte acknowledgement (DA 7A)--> frame server
//   page --23-byte touch message (DA 70)---> input server (connected at the first touch)
//   page --pointer and key messages (DA 71, DA 72)--> the input server's page link, in this process
//   page --its turn (DA 73)--> the owner's `turned`, which gives the page a display of the new orientation
//   the owner's notice (PageNotice.h) --a text message, once connected and at each change--> page
//
// A page off this machine (the owner passes a pairing store then) must pair
// first: before its hello it sends "token <token>", or "pair <code>" which is
// answered "paired <token>" (TabletMessages.h); without a valid one it is
// closed with the reason "pairing needed", "wrong code" or "unpaired", which
// the page reads to ask for a code.
//
// A page off this machine that paired or showed its token is ended when
// `quillbright tablet --forget` forgets the tokens (TabletPairing::forgetAll).
// Neither opens anything but this WebSocket: the page's own session is
// reached through the bridge, on loopback, and no address joins the allow
// list.
//
// Any other message from the page is dropped; one larger than
// `maxIncomingMessage` ends the connection. The opening (handshake,
// credential, hello) must be complete within `openingTimeout` of the
// bridge's start, whatever else the page does meanwhile: answering pings
// does not keep a silent socket open. A page that stops reading holds up
// only its own frame-server connection, which that server drops at its queue
// limit; a page that vanishes without a word is closed when its pings go
// unanswered for `idleTimeout`. Whichever side ends, the other is closed.
//
// TabletSocketQuota caps the sockets the HTTP server hands to bridges: at
// most `maxSocketsPerAddress` from one address and `maxSockets` in all; one
// over either cap is closed before its handshake is answered.
//
// Threads: runs on the executor of the socket it is given (the HTTP server's
// queue); `target` is awaited there and hops to wherever it must run.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "runtime/Asio.h"
#include "transport/InputServer.h"
#include "transport/PageNotice.h"
#include "transport/TabletMessages.h"
#include "transport/TabletPairing.h"

namespace qb {

// Where a page's stream comes from: a running session's servers. The bridge
// holds `lease` while the page is connected and drops it when the page goes.
struct TabletTarget {
    std::uint16_t framePort = 0;
    std::uint16_t inputPort = 0; // 0: touches are dropped
    std::shared_ptr<void> lease;
    std::shared_ptr<PageInputLink> pageInput; // none: the page's own input is dropped
    // The page's tablet turned (TabletMessages.h); called on the bridge's
    // executor. None: turns are dropped.
    std::function<void(PageTurn)> turned;
    // What the page is told besides the stream (PageNotice.h). None: nothing.
    std::shared_ptr<PageNotice> notice;
};

// Called with the page's hello and its address (loopback for a page on
// this machine or behind an adb reverse tunnel).
using TabletTargetLookup
    = std::function<asio::awaitable<std::optional<TabletTarget>>(TabletHello, asio::ip::address)>;

struct TabletBridgeOptions {
    std::chrono::milliseconds idleTimeout{10000};
    std::chrono::milliseconds openingTimeout{10000};
    std::size_t maxSocketsPerAddress = 8;
    std::size_t maxSockets = 64;
    // The longest a page sends: a hello with a 64-character page id and
    // serial (150 bytes), a token (134 bytes).
    std::size_t maxIncomingMessage = 256;
};

// How many tablet sockets each address holds, and how many in all. Any thread.
class TabletSocketQuota {
public:
    explicit TabletSocketQuota(const TabletBridgeOptions& options);
    // A slot for a socket from `peer` (normalised: a v4-mapped address is
    // its IPv4 one), held until the handle is dropped; null when either cap
    // is reached.
    std::shared_ptr<void> take(const asio::ip::address& peer);

private:
    struct Counts;
    const std::shared_ptr<Counts> counts_;
};

// Answers the WebSocket handshake in `handshake` (the connection's first
// read), reads the hello (a page that sends anything else is closed) and
// bridges the page to its target until either side ends. Without a target
// (the daemon is not mirroring) the page is told so in the close frame.
// With `pairing` the page must pair or show its token first.
asio::awaitable<void> runTabletBridge(asio::ip::tcp::socket socket, std::vector<std::uint8_t> handshake,
    TabletTargetLookup target, TabletBridgeOptions options = {}, std::shared_ptr<TabletPairing> pairing = nullptr);

} // namespace qb
