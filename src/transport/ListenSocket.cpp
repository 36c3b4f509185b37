#include "transport/ListenSocket.h"

#include <string>

#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "platform/ConnectionCutoff.h"

namespace qb {

std::optional<asio::ip::address> parseListenAddress(std::string_view text, boost::system::error_code& error)
{
    auto address = asio::ip::make_address(std::string(text), error);
    if (error) return std::nullopt;
    return address;
}

boost::system::error_code openListenSocket(asio::ip::tcp::acceptor& acceptor, const asio::ip::address& address,
    std::uint16_t port)
{
    const asio::ip::tcp::endpoint endpoint(address, port);
    boost::system::error_code error;
    acceptor.open(endpoint.protocol(), error);
    const bool anyV6 = address.is_v6() && address.is_unspecified();
    if (anyV6 && error == asio::error::address_family_not_supported) {
        return openListenSocket(acceptor, asio::ip::address_v4::any(), port);
    }
    if (!error && anyV6) acceptor.set_option(asio::ip::v6_only(false), error);
    if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        boost::system::error_code ignored;
        acceptor.close(ignored);
    }
    return error;
}

asio::ip::address normalisedPeer(const asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

LocalListener::LocalListener(Executor executor, std::string name, ListenerOptions options)
    : executor_(executor),
      name_(std::move(name)),
      options_(std::move(options)),
      acceptor_(executor),
      loopEnded_(executor),
      acceptRetry_(executor)
{
}

std::shared_ptr<LocalListener> LocalListener::open(Executor executor, const asio::ip::address& address,
    std::uint16_t port, std::string name, ListenerOptions options, boost::system::error_code& error)
{
    auto listener = std::shared_ptr<LocalListener>(new LocalListener(executor, std::move(name), std::move(options)));
    error = openListenSocket(listener->acceptor_, address, port);
    if (error) return nullptr;
    listener->port_ = listener->acceptor_.local_endpoint(error).port();
    if (error) return nullptr;
    if (listener->options_.ruleWatchers) listener->options_.ruleWatchers->add(listener);
    return listener;
}

std::shared_ptr<LocalListener> LocalListener::open(Executor executor, std::string_view address, std::uint16_t port,
    std::string name, ListenerOptions options, boost::system::error_code& error)
{
    auto parsed = parseListenAddress(address, error);
    if (!parsed) return nullptr;
    return open(executor, *parsed, port, std::move(name), std::move(options), error);
}

void LocalListener::start(ConnectionHandler handler)
{
    asio::post(executor_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
        if (self->looping_ || self->stopped_) return;
        self->handler_ = std::move(handler);
        self->looping_ = true;
        self->loopEnded_.expires_at(asio::steady_timer::time_point::max());
        asio::co_spawn(self->executor_, acceptLoop(self), [](std::exception_ptr) {});
    });
}

asio::awaitable<void> LocalListener::acceptLoop(std::shared_ptr<LocalListener> self)
{
    for (;;) {
        auto [error, socket] = co_await self->acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
        if (self->stopped_) break;
        if (!error) {
            if (self->options_.allowsPeer) {
                boost::system::error_code peerError;
                const auto peer = socket.remote_endpoint(peerError);
                const auto address = peerError ? asio::ip::address() : normalisedPeer(peer.address());
                if (peerError || !self->options_.allowsPeer(address)) {
                    // One line per address a minute: a stranger retrying in a loop does not flood the log.
                    const auto now = std::chrono::steady_clock::now();
                    if (self->lastRefusalLog_.size() > 1024) self->lastRefusalLog_.clear();
                    auto [last, first] = self->lastRefusalLog_.try_emplace(address, now);
                    if (first || now - last->second >= std::chrono::minutes(1)) {
                        last->second = now;
                        componentLog(LogLevel::warn, self->name_,
                            fmt::format("[{}] Refused connection from {} — not a paired device", self->name_,
                                peerError ? std::string("an unknown peer") : address.to_string()));
                    }
                    boost::system::error_code ignored;
                    socket.close(ignored);
                    continue;
                }
                // Kept to be found again should the peer leave the list; what
                // its owner has closed since is forgotten here.
                std::erase_if(self->handedOver_, [](const HandedOver& connection) {
                    return !carriesConnection(connection.descriptor, connection.local, connection.remote);
                });
                boost::system::error_code localError;
                const auto local = socket.local_endpoint(localError);
                if (!localError) self->handedOver_.push_back({socket.native_handle(), local, peer});
            }
            self->handler_(std::move(socket));
            continue;
        }
        if (error == asio::error::connection_aborted) continue;
        // Out of descriptors or similar: try again shortly rather than spin
        // or give up for good.
        componentLog(LogLevel::error, self->name_,
            fmt::format("[{}] Accept failed ({}) — retrying", self->name_, error.message()));
        self->acceptRetry_.expires_after(self->options_.acceptRetryDelay);
        co_await self->acceptRetry_.async_wait(asio::as_tuple(asio::use_awaitable));
        if (self->stopped_) break;
    }
    self->looping_ = false;
    self->handler_ = nullptr; // it may hold the owner
    self->loopEnded_.cancel();
}

void LocalListener::reviewConnections()
{
    asio::post(executor_, [self = shared_from_this()] {
        if (!self->options_.allowsPeer) return;
        std::erase_if(self->handedOver_, [&](const HandedOver& connection) {
            if (!carriesConnection(connection.descriptor, connection.local, connection.remote)) return true;
            const auto address = normalisedPeer(connection.remote.address());
            if (self->options_.allowsPeer(address)) return false;
            // Logged first: the owner may report the peer gone as soon as it is cut.
            componentLog(LogLevel::warn, self->name_,
                fmt::format("[{}] Closed connection from {} — no longer a paired device", self->name_,
                    address.to_string()));
            cutConnection(connection.descriptor, connection.local, connection.remote);
            return true;
        });
    });
}

void PeerRuleWatchers::add(const std::shared_ptr<LocalListener>& listener)
{
    std::lock_guard guard(lock_);
    std::erase_if(listeners_, [](const auto& known) { return known.expired(); });
    listeners_.push_back(listener);
}

void PeerRuleWatchers::ruleNarrowed()
{
    std::vector<std::shared_ptr<LocalListener>> live;
    {
        std::lock_guard guard(lock_);
        for (const auto& listener : listeners_) {
            if (auto strong = listener.lock()) live.push_back(std::move(strong));
        }
    }
    for (const auto& listener : live) listener->reviewConnections();
}

void LocalListener::cancel()
{
    asio::post(executor_, [self = shared_from_this()] { self->closeOnExecutor(); });
}

void LocalListener::closeOnExecutor()
{
    stopped_ = true;
    acceptRetry_.cancel();
    boost::system::error_code ignored;
    acceptor_.close(ignored);
}

asio::awaitable<void> LocalListener::stopAsync()
{
    co_await asio::co_spawn(executor_, stopOnExecutor(), asio::use_awaitable);
}

asio::awaitable<void> LocalListener::stopOnExecutor()
{
    auto keep = shared_from_this();
    closeOnExecutor();
    if (!looping_) co_return;
    co_await loopEnded_.async_wait(asio::as_tuple(asio::use_awaitable));
}

} // namespace qb
