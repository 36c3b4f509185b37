#include "runtime/Timer.h"

#include <atomic>

namespace qb {

struct Timer::State {
    State(Executor ex, Duration every, std::function<void()> f)
        : timer(ex), interval(every), fn(std::move(f))
    {
    }
    asio::steady_timer timer;
    Duration interval;
    bool repeats = false;
    std::function<void()> fn;
    std::atomic<bool> cancelled{false};
    std::mutex lock; // guards timer across cancel() and re-arming
};

Timer::Timer(std::shared_ptr<State> state) : state_(std::move(state)) {}

Timer::~Timer() { cancel(); }

void Timer::arm(const std::shared_ptr<State>& state, Duration delay)
{
    std::lock_guard guard(state->lock);
    if (state->cancelled.load()) return;
    state->timer.expires_after(delay);
    state->timer.async_wait([state](const boost::system::error_code& error) {
        if (error || state->cancelled.load()) return;
        state->fn();
        if (state->repeats && !state->cancelled.load()) {
            arm(state, state->interval);
        }
    });
}

std::shared_ptr<Timer> Timer::oneShot(Executor executor, Duration delay, std::function<void()> fn)
{
    auto state = std::make_shared<State>(executor, Duration::zero(), std::move(fn));
    arm(state, delay);
    return std::shared_ptr<Timer>(new Timer(state));
}

std::shared_ptr<Timer> Timer::repeating(Executor executor, Duration firstDelay, Duration interval,
    std::function<void()> fn)
{
    auto state = std::make_shared<State>(executor, interval, std::move(fn));
    state->repeats = true;
    arm(state, firstDelay);
    return std::shared_ptr<Timer>(new Timer(state));
}

void Timer::cancel()
{
    if (!state_) return;
    state_->cancelled.store(true);
    std::lock_guard guard(state_->lock);
    // steady_timer::cancel is not thread-safe against the timer's own executor;
    // post it there. The cancelled flag already stops any further firing.
    asio::post(state_->timer.get_executor(), [state = state_] { state->timer.cancel(); });
}

bool Timer::cancelled() const { return state_->cancelled.load(); }

asio::awaitable<bool> Sleeper::sleep(Duration duration)
{
    auto executor = co_await asio::this_coro::executor;
    auto timer = std::make_shared<asio::steady_timer>(executor, duration);
    {
        std::lock_guard guard(lock_);
        if (interrupted_) co_return false;
        sleeping_.insert(timer);
    }
    boost::system::error_code error;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, error));
    bool wasInterrupted = false;
    {
        std::lock_guard guard(lock_);
        sleeping_.erase(timer);
        wasInterrupted = interrupted_;
    }
    co_return !error && !wasInterrupted;
}

void Sleeper::interrupt()
{
    std::lock_guard guard(lock_);
    interrupted_ = true;
    for (const auto& timer : sleeping_) {
        asio::post(timer->get_executor(), [timer] { timer->cancel(); });
    }
}

void Sleeper::reset()
{
    std::lock_guard guard(lock_);
    interrupted_ = false;
}

bool Sleeper::interrupted() const
{
    std::lock_guard guard(lock_);
    return interrupted_;
}

asio::awaitable<bool> sleepFor(Duration duration)
{
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    boost::system::error_code error;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, error));
    co_return !error;
}

} // namespace qb
