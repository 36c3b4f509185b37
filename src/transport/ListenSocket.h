// Where the local servers listen. The input server hands the desktop's
// pointer to whoever connects, and the preview servers show the screen and
// start or stop mirroring, so by default they listen on loopback only (the
// device reaches them through adb reverse tunnels, which arrive on loopback).
// Only in Wi-Fi mode does the owner pass ALL_INTERFACES_ADDRESS, and then
// every listener refuses all but loopback and the set-up devices
// (PeerAllowList).
//
// The TCP servers (FrameServer, InputServer, HTTPServer, WebSocketServer)
// share one contract:
//   make(..., options)  nothing listens yet; the bind address (loopback by
//                       default) and the allowed peers are in the options
//   open(port)          binds at once; the error comes back as a value
//                       (port in use, bad address, second open, opened after
//                       a stop), nothing is thrown, nothing listens after one
//   start()             accepts from now on (WebSocketServer also takes the
//                       HTTP server's port, whose pages it serves)
//   stopAsync()         closes the listener and the connections, awaited
//   port()              the port bound by open(), 0 before it and after a stop
// open() and start() return at once (the main loop may call them), from one
// thread, before any stop; a stopped server is not opened again.
#pragma once

#include <chrono>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Asio.h"

namespace qb {

inline constexpr std::string_view LOOPBACK_ADDRESS = "127.0.0.1";
// IPv6 and IPv4 alike (dual stack); a host without IPv6 gets 0.0.0.0.
inline constexpr std::string_view ALL_INTERFACES_ADDRESS = "::";

// The address to bind, or nullopt (with `error` set) when `text` is not an
// IP address.
std::optional<asio::ip::address> parseListenAddress(std::string_view text, boost::system::error_code& error);

// Opens, binds (local address reuse allowed) and starts listening. The IPv6
// any-address also takes IPv4 peers, and falls back to 0.0.0.0 where the
// host has no IPv6.
boost::system::error_code openListenSocket(asio::ip::tcp::acceptor& acceptor, const asio::ip::address& address,
    std::uint16_t port);

// Which peers a listener serves (PeerAllowList::allows is the one rule:
// loopback always, others when the device was set up). The predicate sees
// IPv4 peers that reach an IPv6 socket as IPv4 addresses.
using PeerPredicate = std::function<bool(const asio::ip::address&)>;

// The address as IPv4 when it is an IPv4-mapped IPv6 address.
asio::ip::address normalisedPeer(const asio::ip::address& address);

class LocalListener;

// The listeners that serve by one peer rule. When the rule narrows (a device
// leaves the list) each of them closes the connections it accepted from
// peers the rule now refuses. Any thread.
class PeerRuleWatchers {
public:
    void add(const std::shared_ptr<LocalListener>& listener);
    void ruleNarrowed();

private:
    std::mutex lock_;
    std::vector<std::weak_ptr<LocalListener>> listeners_;
};

struct ListenerOptions {
    // Pause after a failed accept (descriptors exhausted, ...) before the
    // listener tries again.
    std::chrono::milliseconds acceptRetryDelay{100};
    // Without it every peer that reaches the bound address is served; with
    // it a peer it refuses is closed at once, before a byte is sent, and
    // logged once a minute per address as
    // "[<name>] Refused connection from <address> — not a paired device".
    PeerPredicate allowsPeer;
    // Where this listener hears that `allowsPeer` narrowed; it then closes
    // the connections it handed over from peers now refused, logging
    // "[<name>] Closed connection from <address> — no longer a paired device".
    std::shared_ptr<PeerRuleWatchers> ruleWatchers;
};

// The listening socket of every server: the frame server, the input server
// and the two preview servers. The accept loop runs on one serial executor
// and hands each new connection to a handler there.
//
//   auto listener = LocalListener::open(queue->executor(), "127.0.0.1", 8891, "HTTPServer", {}, error);
//   if (listener) listener->start([](asio::ip::tcp::socket socket) { ... });   // once
//   co_await listener->stopAsync();   // from any coroutine: closes, waits for the loop to end
//
// An accept that fails (out of descriptors, say) is logged as
// "[<name>] Accept failed (<error>) — retrying" and tried again after
// `acceptRetryDelay`: the listener keeps accepting until it is stopped.
// A stopped listener is not started again; its owner opens a new one.
class LocalListener : public std::enable_shared_from_this<LocalListener> {
public:
    using ConnectionHandler = std::function<void(asio::ip::tcp::socket)>;

    // Binds and listens at once; nullptr with `error` set when the address
    // is not an address or the port cannot be had. Nothing is thrown.
    static std::shared_ptr<LocalListener> open(Executor executor, std::string_view address, std::uint16_t port,
        std::string name, ListenerOptions options, boost::system::error_code& error);
    // The same for a parsed address.
    static std::shared_ptr<LocalListener> open(Executor executor, const asio::ip::address& address,
        std::uint16_t port, std::string name, ListenerOptions options, boost::system::error_code& error);

    // The port actually bound (the requested one unless that was 0).
    std::uint16_t port() const { return port_; }

    void start(ConnectionHandler handler);
    asio::awaitable<void> stopAsync();
    // Closes without waiting (owners' destructors).
    void cancel();
    // Closes at once; on the listener's executor only (owners whose own
    // queue is that executor). No connection is handed over afterwards.
    void closeOnExecutor();

    // Closes the handed-over connections whose peers `allowsPeer` now
    // refuses (PeerRuleWatchers calls it). Any thread; done on the executor.
    void reviewConnections();

private:
    // A connection handed over, as the platform can find it again.
    struct HandedOver {
        int descriptor;
        asio::ip::tcp::endpoint local, remote;
    };

    LocalListener(Executor executor, std::string name, ListenerOptions options);
    static asio::awaitable<void> acceptLoop(std::shared_ptr<LocalListener> self);
    asio::awaitable<void> stopOnExecutor();

    Executor executor_;
    std::string name_;
    ListenerOptions options_;
    asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    ConnectionHandler handler_;
    // Executor only: the loop's state, and a timer that never expires on its
    // own and is cancelled when the loop ends, for stopAsync to wait on.
    bool looping_ = false;
    bool stopped_ = false;
    asio::steady_timer loopEnded_;
    asio::steady_timer acceptRetry_; // the pause after a failed accept; stop cuts it short
    std::map<asio::ip::address, std::chrono::steady_clock::time_point> lastRefusalLog_; // executor only
    std::vector<HandedOver> handedOver_; // executor only; with allowsPeer only
};

} // namespace qb
