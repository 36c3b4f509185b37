#include "transport/TabletBridge.h"

#include <algorithm>
#include <map>
#include <mutex>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "transport/ListenSocket.h"

namespace qb {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;

namespace {

void log(std::string_view line) { componentLog(LogLevel::info, "TabletBridge", line); }

// The two connections of one page and the way to end both.
struct Link {
    websocket::stream<beast::tcp_stream>& page;
    tcp::socket& frames;
    tcp::socket& input;
    std::uint16_t inputPort;
    std::shared_ptr<PageInputLink> pageInput;
    std::function<void(PageTurn)> turned;
    std::shared_ptr<PageNotice> notice;
    // One write at a time on the page, the stream's or the notice's: a
    // writer that finds the other writing waits for `written`.
    asio::steady_timer& written;
    bool writing = false;
    bool closed = false;

    void close()
    {
        closed = true;
        boost::system::error_code ignored;
        frames.close(ignored);
        input.close(ignored);
        beast::get_lowest_layer(page).close();
    }
};

// One message to the page, once no other write is under way; false when it
// failed or the link is closed.
asio::awaitable<bool> writeToPage(Link& link, asio::const_buffer bytes, bool text)
{
    while (link.writing && !link.closed) {
        link.written.expires_at(asio::steady_timer::time_point::max());
        co_await link.written.async_wait(asio::as_tuple(asio::use_awaitable));
    }
    if (link.closed) co_return false;
    link.writing = true;
    link.page.text(text);
    auto [error, sent] = co_await link.page.async_write(bytes, asio::as_tuple(asio::use_awaitable));
    link.writing = false;
    link.written.cancel();
    co_return !error;
}

// Frame server to page: every message whole, in its own WebSocket message.
asio::awaitable<void> pumpStream(Link& link)
{
    HostMessageReader reader;
    std::vector<std::uint8_t> chunk(65536);
    for (;;) {
        auto [readError, size] = co_await link.frames.async_read_some(asio::buffer(chunk),
            asio::as_tuple(asio::use_awaitable));
        if (readError) break;
        reader.append(std::span(chunk.data(), size));
        bool written = true;
        while (written) {
            auto message = reader.next();
            if (!message) break;
            const auto bytes = encodeHostMessage(*message);
            written = co_await writeToPage(link, asio::buffer(bytes), false);
        }
        if (!written) break;
        if (reader.failed()) {
            log("[TabletBridge] Frame stream unreadable (" + reader.error() + ") — closing the page");
            break;
        }
    }
    link.close();
}

// The notice to the page, as a text message: at once, then at each change.
asio::awaitable<void> pumpNotice(Link& link)
{
    const auto executor = co_await asio::this_coro::executor;
    const auto changed = std::make_shared<asio::steady_timer>(executor, asio::steady_timer::time_point::max());
    const auto watch = link.notice->watch([executor, weak = std::weak_ptr<asio::steady_timer>(changed)] {
        asio::post(executor, [weak] {
            if (auto timer = weak.lock()) timer->cancel();
        });
    });
    std::string told;
    while (!link.closed) {
        const std::string text = link.notice->text();
        if (text != told) {
            told = text;
            if (!co_await writeToPage(link, asio::buffer(text), true)) break;
            continue;
        }
        co_await changed->async_wait(asio::as_tuple(asio::use_awaitable));
        if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) break;
    }
    link.close();
}

// Page to servers: acknowledgements to the frame server, touches to the
// input server, the page's own input to its link; anything else dropped.
asio::awaitable<void> pumpPage(Link& link)
{
    beast::flat_buffer buffer;
    bool inputFailed = false;
    for (;;) {
        auto [readError, size] = co_await link.page.async_read(buffer, asio::as_tuple(asio::use_awaitable));
        if (readError) break;
        const auto* data = static_cast<const std::uint8_t*>(buffer.data().data());
        const std::vector<std::uint8_t> message(data, data + buffer.size());
        buffer.consume(buffer.size());
        const PageMessage kind = link.page.got_binary() ? judgePageMessage(message) : PageMessage::ignored;
        if (kind == PageMessage::pageInput) {
            if (link.pageInput) {
                if (auto input = parsePageInput(message)) link.pageInput->deliver(std::move(*input));
            }
        } else if (kind == PageMessage::turned) {
            if (link.turned) link.turned(*parsePageTurn(message));
        } else if (kind == PageMessage::acknowledgement) {
            auto [error, n] = co_await asio::async_write(link.frames, asio::buffer(message),
                asio::as_tuple(asio::use_awaitable));
            if (error) break;
        } else if (kind == PageMessage::touch && !inputFailed && link.inputPort != 0) {
            if (!link.input.is_open()) {
                auto [error] = co_await link.input.async_connect(
                    tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), link.inputPort),
                    asio::as_tuple(asio::use_awaitable));
                if (error) {
                    log(fmt::format("[TabletBridge] Input server unreachable ({}) — the page's touches are dropped",
                        error.message()));
                    inputFailed = true;
                    continue;
                }
            }
            auto [error, n] = co_await asio::async_write(link.input, asio::buffer(message),
                asio::as_tuple(asio::use_awaitable));
            if (error) inputFailed = true;
        }
    }
    link.close();
}

asio::awaitable<void> closePage(websocket::stream<beast::tcp_stream>& page, websocket::close_code code,
    std::string_view reason)
{
    auto [closeError] = co_await page.async_close(websocket::close_reason(code, reason),
        asio::as_tuple(asio::use_awaitable));
    (void)closeError;
}

} // namespace

struct TabletSocketQuota::Counts {
    std::mutex lock;
    std::size_t perAddress = 0;
    std::size_t total = 0;
    std::size_t held = 0;
    std::map<asio::ip::address, std::size_t> byAddress;
};

TabletSocketQuota::TabletSocketQuota(const TabletBridgeOptions& options) : counts_(std::make_shared<Counts>())
{
    counts_->perAddress = options.maxSocketsPerAddress;
    counts_->total = options.maxSockets;
}

std::shared_ptr<void> TabletSocketQuota::take(const asio::ip::address& peer)
{
    const auto address = normalisedPeer(peer);
    {
        std::lock_guard guard(counts_->lock);
        auto& fromPeer = counts_->byAddress[address];
        if (fromPeer >= counts_->perAddress || counts_->held >= counts_->total) {
            if (fromPeer == 0) counts_->byAddress.erase(address);
            return nullptr;
        }
        ++fromPeer;
        ++counts_->held;
    }
    // Non-null, so that a slot tests true; the deleter gives it back.
    return std::shared_ptr<void>(counts_.get(), [counts = counts_, address](void*) {
        std::lock_guard guard(counts->lock);
        --counts->held;
        const auto entry = counts->byAddress.find(address);
        if (entry != counts->byAddress.end() && --entry->second == 0) counts->byAddress.erase(entry);
    });
}

asio::awaitable<void> runTabletBridge(tcp::socket socket, std::vector<std::uint8_t> handshake,
    TabletTargetLookup target, TabletBridgeOptions options, std::shared_ptr<TabletPairing> pairing)
{
    const auto executor = socket.get_executor();
    boost::system::error_code endpointError;
    const auto remote = socket.remote_endpoint(endpointError);
    const asio::ip::address peer = endpointError ? asio::ip::address() : normalisedPeer(remote.address());
    websocket::stream<beast::tcp_stream> page(std::move(socket));
    // Ends the page from outside (its opening deadline, its token forgotten)
    // while this coroutine lives: posted to its executor, where the page is
    // touched, and dropped with the coroutine's frame.
    const auto closer = std::make_shared<std::function<void()>>([&page] { beast::get_lowest_layer(page).close(); });
    const auto closeFromOutside = [executor, weak = std::weak_ptr<std::function<void()>>(closer)] {
        asio::post(executor, [weak] {
            if (auto close = weak.lock()) (*close)();
        });
    };
    asio::steady_timer opening(executor);
    opening.expires_after(options.openingTimeout);
    opening.async_wait([closeFromOutside, peer](boost::system::error_code error) {
        if (error) return;
        log(fmt::format("[TabletBridge] A page at {} sent no hello in time — closed", peer.to_string()));
        closeFromOutside();
    });
    // Taken before any credential is judged, so no forgetting slips between.
    const auto remembered = pairing ? pairing->whileRemembered(closeFromOutside) : nullptr;
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = options.idleTimeout;
    timeouts.idle_timeout = options.idleTimeout;
    timeouts.keep_alive_pings = true;
    page.set_option(timeouts);
    page.read_message_max(options.maxIncomingMessage);
    // A frame goes out as one WebSocket frame. Fragmented (Beast's default,
    // 4 KB pieces), a dense delta reached the browser as a hundred pieces,
    // each a task of its own on the page's main thread.
    page.auto_fragment(false);
    auto [acceptError] = co_await page.async_accept(asio::buffer(handshake), asio::as_tuple(asio::use_awaitable));
    if (acceptError) co_return;

    // A token or a pairing code may come first; one of each at most.
    beast::flat_buffer first;
    bool paired = !pairing;
    std::optional<TabletHello> hello;
    for (int message = 0; message < 3 && !hello; ++message) {
        first.clear();
        auto [readError, readSize] = co_await page.async_read(first, asio::as_tuple(asio::use_awaitable));
        if (readError) co_return;
        const std::string_view text(static_cast<const char*>(first.data().data()), first.size());
        const auto credential = page.got_text() ? parsePageCredential(text) : std::nullopt;
        if (!credential) {
            if (page.got_text()) hello = parseTabletHello(text);
            break;
        }
        if (!pairing) continue; // on this machine no secret is asked for
        if (credential->kind == PageCredential::Kind::token) {
            paired = pairing->useToken(credential->value);
            if (!paired) {
                log(fmt::format("[TabletBridge] A page at {} showed an unknown token — asked to pair", peer.to_string()));
                co_await closePage(page, websocket::close_code::policy_error, "unpaired");
                co_return;
            }
            continue;
        }
        const auto token = pairing->redeem(credential->value, peer);
        if (!token) {
            log(fmt::format("[TabletBridge] A page at {} sent a wrong or spent pairing code", peer.to_string()));
            co_await closePage(page, websocket::close_code::policy_error, "wrong code");
            co_return;
        }
        log(fmt::format("[TabletBridge] A page at {} paired", peer.to_string()));
        page.text(true);
        const std::string answer = "paired " + *token;
        auto [writeError, written] = co_await page.async_write(asio::buffer(answer),
            asio::as_tuple(asio::use_awaitable));
        if (writeError) co_return;
        paired = true;
    }
    if (!hello) {
        log("[TabletBridge] A page's first message was no hello — closed");
        co_await closePage(page, websocket::close_code::policy_error, "hello expected");
        co_return;
    }
    if (!paired) {
        log(fmt::format("[TabletBridge] A page at {} has not paired — no session", peer.to_string()));
        co_await closePage(page, websocket::close_code::policy_error, "pairing needed");
        co_return;
    }

    opening.cancel();

    std::optional<TabletTarget> found;
    if (target) found = co_await target(*hello, peer);
    if (!found || found->framePort == 0) {
        log("[TabletBridge] Tablet page connected while the daemon is not mirroring — asked to try again");
        co_await closePage(page, websocket::close_code::try_again_later, "not mirroring");
        co_return;
    }
    tcp::socket frames(executor);
    auto [connectError] = co_await frames.async_connect(
        tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), found->framePort), asio::as_tuple(asio::use_awaitable));
    if (connectError) {
        log(fmt::format("[TabletBridge] Frame server on port {} unreachable ({})", found->framePort,
            connectError.message()));
        beast::get_lowest_layer(page).close();
        co_return;
    }
    boost::system::error_code ignored;
    frames.set_option(tcp::no_delay(true), ignored);
    log(fmt::format("[TabletBridge] Tablet page streaming from port {}", found->framePort));
    tcp::socket input(executor);
    asio::steady_timer written(executor);
    Link link{page, frames, input, found->inputPort, std::move(found->pageInput), std::move(found->turned),
        std::move(found->notice), written};
    using namespace asio::experimental::awaitable_operators;
    if (link.notice) {
        co_await (pumpStream(link) || pumpPage(link) || pumpNotice(link));
    } else {
        co_await (pumpStream(link) || pumpPage(link));
    }
    link.close();
    log("[TabletBridge] Tablet page gone");
}

} // namespace qb
