// The sim pacer windows: screens laid out from the SimWorld's displays,
// windows recorded there (their colour shows in the captured picture), and
// display links ticking on the main loop at the world's display-link interval.
#include <atomic>

#include "platform/sim/SimBackends.h"
#include "platform/sim/SimWorld.h"
#include "runtime/MainLoop.h"
#include "runtime/Timer.h"

namespace qb::sim {

namespace {

class SimPacerWindow final : public PacerWindow {
public:
    explicit SimPacerWindow(std::uint64_t id)
        : id_(id)
    {
    }
    ~SimPacerWindow() override { close(); }

    void setFrameOrigin(double x, double y) override
    {
        SimWorld::shared().updateWindow(id_, [x, y](SimWindowState& w) {
            w.frame.x = x;
            w.frame.y = y;
        });
    }

    void orderFrontRegardless() override
    {
        SimWorld::shared().updateWindow(id_, [](SimWindowState& w) { w.orderedFront = !w.closed; });
    }

    void setBackgroundColor(const WindowColor& color) override
    {
        SimWorld::shared().updateWindow(id_, [&color](SimWindowState& w) {
            if (w.closed) return;
            ++w.colorSets;
            if (!(w.background == color)) ++w.colorChanges;
            w.background = color;
        });
    }

    void close() override
    {
        if (closed_) return;
        closed_ = true;
        SimWorld::shared().updateWindow(id_, [](SimWindowState& w) {
            w.closed = true;
            w.orderedFront = false;
        });
    }

private:
    std::uint64_t id_;
    bool closed_ = false;
};

class SimDisplayLink final : public DisplayLink {
public:
    explicit SimDisplayLink(std::function<void()> tick)
    {
        auto& world = SimWorld::shared();
        auto shared = std::make_shared<std::function<void()>>(std::move(tick));
        // A manual firing (SimWorld::fireDisplayLinks) and the timer run the
        // same tick; both stop once invalidated.
        alive_ = std::make_shared<std::atomic<bool>>(true);
        std::weak_ptr<std::atomic<bool>> alive = alive_;
        auto guarded = [shared, alive] {
            if (auto a = alive.lock(); a && *a) (*shared)();
        };
        id_ = world.addDisplayLink(guarded);
        const Duration interval = world.displayLinkInterval();
        timer_ = Timer::repeating(MainLoop::shared().executor(), interval, interval, guarded);
    }
    ~SimDisplayLink() override { invalidate(); }

    void invalidate() override
    {
        if (!alive_) return;
        *alive_ = false;
        alive_.reset();
        timer_->cancel();
        timer_.reset();
        SimWorld::shared().removeDisplayLink(id_);
    }

private:
    std::shared_ptr<std::atomic<bool>> alive_;
    std::shared_ptr<Timer> timer_;
    std::uint64_t id_ = 0;
};

class SimPacerWindows final : public PacerWindows {
public:
    std::vector<ScreenInfo> screens() override { return SimWorld::shared().screens(); }

    std::optional<ScreenInfo> mainScreen() override
    {
        auto all = screens();
        if (all.empty()) return std::nullopt;
        return all.front();
    }

    void disableAutomaticWindowTabbing() override { }

    std::unique_ptr<PacerWindow> makeWindow(const PacerWindowRequest& request) override
    {
        auto screen = request.screen ? request.screen : mainScreen();
        ScreenRect frame = request.contentRect;
        std::uint32_t displayNumber = screen ? screen->displayNumber : 0;
        if (screen) {
            // Like a window made for a screen, it starts at that screen's origin.
            frame.x += screen->frame.x;
            frame.y += screen->frame.y;
        }
        return std::make_unique<SimPacerWindow>(SimWorld::shared().addWindow(request, displayNumber, frame));
    }

    std::unique_ptr<DisplayLink> makeDisplayLink(std::uint32_t displayNumber, FrameRateRange,
        std::function<void()> tick) override
    {
        for (const auto& screen : screens()) {
            if (screen.displayNumber == displayNumber) return std::make_unique<SimDisplayLink>(std::move(tick));
        }
        return nullptr;
    }
};

} // namespace

std::shared_ptr<PacerWindows> makeSimPacerWindows()
{
    return std::make_shared<SimPacerWindows>();
}

} // namespace qb::sim
