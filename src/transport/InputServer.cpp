#include "transport/InputServer.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "diagnostics/Log.h"

namespace qb {

namespace {

constexpr std::string_view COMPONENT = "InputServer";

void log(LogLevel level, const std::string& line) { componentLog(level, COMPONENT, line); }

} // namespace

std::shared_ptr<InputServer> InputServer::make(std::uint32_t targetDisplayID, std::shared_ptr<InputInjector> injector,
    Options options)
{
    return std::shared_ptr<InputServer>(new InputServer(targetDisplayID, std::move(injector), std::move(options)));
}

InputServer::InputServer(std::uint32_t targetDisplayID, std::shared_ptr<InputInjector> injector, Options options)
    : targetDisplayID_(targetDisplayID),
      injector_(std::move(injector)),
      options_(std::move(options)),
      queue_(SerialQueue::make("app.quillbright.input", QoS::userInitiated))
{
}

InputServer::~InputServer()
{
    if (scrollEndTimer_) scrollEndTimer_->cancel();
    for (auto& [id, page] : pages_) {
        if (page.deadline) page.deadline->cancel();
    }
    // Sockets belong to the queue: close them there. Their read loops then
    // end on their own (they hold the connections, not the server).
    if (listener_) listener_->cancel();
    if (!connections_.empty()) {
        queue_->async([connections = std::move(connections_)] {
            boost::system::error_code ignored;
            for (const auto& connection : connections) connection->socket.close(ignored);
        });
    }
}

void InputServer::stop()
{
    queue_->sync([this] { stopOnQueue(); });
}

asio::awaitable<void> InputServer::stopAsync()
{
    std::function<void()> work = [self = shared_from_this()] { self->stopOnQueue(); };
    co_await queue_->run(work);
}

void InputServer::requestStop()
{
    queue_->async([self = shared_from_this()] { self->stopOnQueue(); });
}

boost::system::error_code InputServer::open(std::uint16_t port)
{
    if (opened_.exchange(true)) return asio::error::already_open;
    boost::system::error_code error;
    auto address = parseListenAddress(options_.bindAddress, error);
    if (!address) {
        log(LogLevel::error, fmt::format("[InputServer] Failed to create listener on port {}: {}", port,
                                 error.message()));
        return error;
    }
    auto options = listenerOptions(options_.peers,
        std::chrono::duration_cast<std::chrono::milliseconds>(options_.timing.acceptRetry));
    auto listener = LocalListener::open(queue_->executor(), *address, port, "InputServer", std::move(options), error);
    if (!listener) {
        log(LogLevel::error, fmt::format("[InputServer] Listener failed: {}", error.message()));
        return error;
    }
    listener_ = listener;
    port_.store(listener->port());
    running_.store(true);
    return {};
}

void InputServer::start()
{
    if (!listener_ || !running_.load()) return;
    queue_->async([self = shared_from_this()] {
        if (!self->injector_->isTrusted() && !self->accessibilityWarned_) {
            log(LogLevel::warn, std::string(INPUT_NOT_TRUSTED_WARNING));
            self->accessibilityWarned_ = true;
        }
        if (!self->running_.load()) return; // stopped meanwhile
        log(LogLevel::info, fmt::format("[InputServer] Listening on port {} (display {})", self->port_.load(),
                                self->targetDisplayID_));
        self->listener_->start([weak = self->weak_from_this(), current = self->listener_.get()](
                                   asio::ip::tcp::socket socket) {
            auto server = weak.lock();
            if (server && server->listener_.get() == current) server->addConnection(std::move(socket)); // else stopped or gone
        });
    });
}

void InputServer::stopOnQueue()
{
    opened_.store(true); // a stopped server is not opened again
    cancelScrollEndTimer();
    inject(gestures_.endScroll());

    boost::system::error_code ignored;
    if (listener_) listener_->closeOnExecutor();
    listener_.reset();
    auto connections = std::move(connections_);
    connections_.clear();
    connectionCount_.store(0);
    for (const auto& connection : connections) connection->socket.close(ignored);
    releaseGesture();
    for (auto& [id, page] : pages_) {
        if (page.deadline) page.deadline->cancel();
        page.deadline.reset();
        inject(page.gestures.release());
    }

    running_.store(false);
    port_.store(0);
    log(LogLevel::info, "[InputServer] Stopped");
}

void InputServer::addConnection(asio::ip::tcp::socket socket)
{
    boost::system::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(std::move(socket));
    connections_.push_back(connection);
    connectionCount_.store(connections_.size());
    log(LogLevel::info, "[InputServer] Client connected");
    asio::co_spawn(queue_->executor(), readLoop(weak_from_this(), connection), [](std::exception_ptr e) {
        if (e) log(LogLevel::error, "[InputServer] Connection reader ended unexpectedly");
    });
}

asio::awaitable<void> InputServer::readLoop(std::weak_ptr<InputServer> weak, std::shared_ptr<Connection> connection)
{
    std::array<std::uint8_t, READ_SIZE> buffer{};
    for (;;) {
        auto [error, size] =
            co_await connection->socket.async_read_some(asio::buffer(buffer), asio::as_tuple(asio::use_awaitable));
        auto self = weak.lock();
        if (!self) co_return;
        if (size > 0) {
            for (const auto& message : walkTouchMessages(connection->stream, std::span(buffer.data(), size))) {
                self->handleTouch(message);
            }
        }
        if (connection->stream.refused) {
            // A web page's request or another protocol's hello: not a device.
            log(LogLevel::warn, "[InputServer] Closed a connection that did not begin with a touch message");
            self->removeConnection(connection);
            co_return;
        }
        if (error) {
            // End of stream, a reset, or our own close.
            self->removeConnection(connection);
            co_return;
        }
    }
}

void InputServer::removeConnection(const std::shared_ptr<Connection>& connection)
{
    auto it = std::find(connections_.begin(), connections_.end(), connection);
    if (it == connections_.end()) return; // already removed by stop()
    connections_.erase(it);
    connectionCount_.store(connections_.size());
    boost::system::error_code ignored;
    connection->socket.close(ignored);
    // A connection that never sent a touch holds no part of the gesture.
    if (connection->stream.established) releaseGesture();
}

void InputServer::releaseGesture()
{
    inject(gestures_.release());
    cancelScrollEndTimer();
}

void InputServer::inject(const PointerActions& actions)
{
    for (const PointerAction& action : actions) {
        if (action.kind == PointerAction::Kind::mouse) {
            injector_->postMouseEvent(action.mouse, action.at);
        } else if (action.kind == PointerAction::Kind::key) {
            if (!injector_->canType() && !std::exchange(warnedNoTyping_, true)) {
                log(LogLevel::warn, "[InputServer] This desktop offers no way to type: keys from the tablet page "
                                    "are dropped");
            }
            injector_->postKey(action.keysym, action.keyDown);
        } else {
            injector_->postScrollEvent(action.phase, action.vertical, action.horizontal);
        }
    }
}

void InputServer::handleTouch(const TouchMessage& message)
{
    const std::optional<InputInjector::Bounds> bounds = injector_->displayBounds(targetDisplayID_);
    if (bounds) {
        warnedNoBounds_ = false;
    } else if (!warnedNoBounds_) {
        warnedNoBounds_ = true;
        log(LogLevel::warn, fmt::format("[InputServer] Display {} not found — touches have nowhere to land",
                                targetDisplayID_));
    }
    const bool scroll = message.type == static_cast<std::uint8_t>(TouchType::scroll);
    if (scroll) cancelScrollEndTimer();
    inject(gestures_.touch(message, bounds));
    // The pause is counted from the last scroll message, including one too
    // small to move a pixel, so an active gesture always gets its end.
    if (scroll && gestures_.scrollGestureActive()) {
        std::weak_ptr<InputServer> weak = weak_from_this();
        scrollEndTimer_ = Timer::oneShot(queue_->executor(), options_.timing.scrollEnd, [weak] {
            if (auto self = weak.lock()) self->inject(self->gestures_.endScroll());
        });
    }
}

PageInputLink::~PageInputLink()
{
    if (auto server = server_.lock()) {
        server->queue_->async([server, id = id_] { server->closePage(id); });
    }
}

void PageInputLink::deliver(PageInput input)
{
    if (auto server = server_.lock()) {
        server->queue_->async([server, id = id_, input = std::move(input)] { server->handlePageInput(id, input); });
    }
}

std::shared_ptr<PageInputLink> InputServer::openPageInput()
{
    return std::shared_ptr<PageInputLink>(new PageInputLink(weak_from_this(), nextPage_.fetch_add(1)));
}

std::optional<PenReading> InputServer::lastPen() const
{
    std::lock_guard guard(penLock_);
    return lastPen_;
}

void InputServer::handlePageInput(std::uint64_t page, const PageInput& input)
{
    auto found = pages_.find(page);
    if (found == pages_.end()) found = pages_.emplace(page, PageState{PageGestureInterpreter(options_.timing.pageGestures), nullptr}).first;
    PageGestureInterpreter& gestures = found->second.gestures;
    if (const auto* keys = std::get_if<PageKeys>(&input)) {
        inject(gestures.keys(*keys));
        return;
    }
    const auto& pointer = std::get<PagePointer>(input);
    const auto actions = gestures.pointer(pointer, injector_->displayBounds(targetDisplayID_),
        std::chrono::steady_clock::now());
    if (pointer.device == PageDevice::pen) {
        std::lock_guard guard(penLock_);
        lastPen_ = gestures.pen();
    }
    inject(actions);
    armPageDeadline(page);
}

void InputServer::armPageDeadline(std::uint64_t page)
{
    auto found = pages_.find(page);
    if (found == pages_.end()) return;
    PageState& state = found->second;
    const auto due = state.gestures.deadline();
    if (state.deadline) state.deadline->cancel();
    state.deadline.reset();
    if (!due) return;
    const auto delay = std::max(Duration::zero(), *due - std::chrono::steady_clock::now());
    state.deadline = Timer::oneShot(queue_->executor(), delay, [weak = weak_from_this(), page] {
        auto self = weak.lock();
        if (!self) return;
        auto it = self->pages_.find(page);
        if (it == self->pages_.end()) return;
        self->inject(it->second.gestures.expire(std::chrono::steady_clock::now()));
        self->armPageDeadline(page);
    });
}

void InputServer::closePage(std::uint64_t page)
{
    auto found = pages_.find(page);
    if (found == pages_.end()) return;
    if (found->second.deadline) found->second.deadline->cancel();
    inject(found->second.gestures.release());
    pages_.erase(found);
}

void InputServer::cancelScrollEndTimer()
{
    if (scrollEndTimer_) {
        scrollEndTimer_->cancel();
        scrollEndTimer_.reset();
    }
}

} // namespace qb
