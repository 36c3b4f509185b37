// The GNOME-on-Wayland desktop as GNOME's backend's services share it:
// the private D-Bus connection to Mutter, the PipeWire connection, and our
// displays. Each display of ours is one Recording: a virtual monitor that
// extends the desktop, or, while it mirrors, the primary monitor's picture.
//
// No Wayland client sees global coordinates, so our displays get rectangles
// of their own in a private plane (display n's left edge at n × 65536): the
// input server computes points there, and the injector maps a point back to
// its display and the stream's pixels.
//
// The user may rearrange the desktop in the display settings at any time.
// A virtual monitor of ours that is moved (or made the primary) needs
// nothing: its stream and the input that refers to the stream follow it.
// One turned off keeps its session but sends no picture again, so its
// display ends as if Mutter had ended the session (its capture ends and the
// owner builds the display anew). The only configuration we apply is our
// own monitor's scale (HiDPI), temporarily (never stored): the user's
// monitors where they had them before ours came, ours next to them. When a
// monitor we scaled goes, the layout left (the user's, with any change they
// made meanwhile) is applied again, since Mutter would pick its own.
//
// Threads: every member may be called from any thread. Slow changes (create,
// remove, mirror, resize: D-Bus round trips and a PipeWire negotiation) run
// one at a time. Frames reach the attached FrameSink on PipeWire's data thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/PushedCapture.h"
#include "platform/VirtualOutputs.h"
#include "platform/gnome/MonitorLayout.h"
#include "platform/gnome/MutterBus.h"
#include "platform/gnome/Recording.h"

namespace qb::gnome {

class GnomeDesktop : public std::enable_shared_from_this<GnomeDesktop> {
public:
    // nullptr when Mutter's services or PipeWire cannot be reached; `error`
    // then begins "GNOME remote desktop service not available: ".
    static std::shared_ptr<GnomeDesktop> open(std::string* error);
    ~GnomeDesktop();

    // Mutter leaving the session bus (a crash, a restart) takes every
    // session of ours with it: each display is then closed (its capture
    // ends) and `changed(true)` runs; Mutter's return runs `changed(false)`.
    // Both on the bus thread. Set once, before mirroring.
    void onCompositorAway(std::function<void(bool away)> changed);

    MutterBus& bus() { return *bus_; }

    // ------------------------------------------------------ our displays

    // A virtual monitor of `width`×`height` added to the desktop; its id, or
    // nullopt with `error` saying why.
    std::optional<std::uint32_t> createDisplay(std::uint32_t width, std::uint32_t height, std::string* error);
    void removeDisplay(std::uint32_t id);
    void removeAll() { for (std::uint32_t id : displays_.ids()) removeDisplay(id); }
    std::vector<std::uint32_t> displayIds() const { return displays_.ids(); }
    bool isOurs(std::uint32_t id) const { return displays_.contains(id); }

    // Mirroring: the display's virtual monitor leaves the desktop and the
    // display shows the primary monitor instead. 0 or a DISPLAY_ERROR_* code.
    std::int32_t setMirroring(std::uint32_t id, bool mirroring);
    // A new size for a virtual monitor, renegotiated on the same session.
    bool resize(std::uint32_t id, std::uint32_t width, std::uint32_t height);
    // The scale of a virtual monitor's logical monitor (2: HiDPI, applications
    // draw at twice the density), applied through Mutter's display
    // configuration and kept while the display mirrors. False when Mutter
    // does not offer that scale for the monitor's mode or refused it;
    // `error` then says which.
    bool setScale(std::uint32_t id, double scale, std::string* error);

    struct Placement {
        double left = 0;
        double top = 0;
        std::uint32_t width = 0; // the picture's pixels (the primary's while mirroring)
        std::uint32_t height = 0;
        std::string sessionPath; // where input for it goes
        std::string streamPath;  // what its coordinates refer to
        std::uint32_t targetWidth = 0; // the virtual monitor's (the tablet's) size
        std::uint32_t targetHeight = 0;
    };
    // nullopt for an unknown display or one whose session Mutter ended.
    std::optional<Placement> placement(std::uint32_t id) const;
    // The display whose rectangle holds the point.
    std::optional<std::uint32_t> displayAt(double x, double y) const;

    // Frames of display `id` go to `sink` until detach (after which no call
    // runs or will start), beginning with the newest picture the display
    // already has; false for an unknown display.
    bool attach(std::uint32_t id, std::shared_ptr<FrameSink> sink);
    void detach(std::uint32_t id, const FrameSink* sink);

    // --------------------------------------------- the desktop's monitors

    struct Monitor {
        std::uint32_t id = 0;
        std::string connector;
        bool builtIn = false;
        bool primary = false;
        bool lit = false; // part of the desktop (the user may turn a monitor off)
        std::uint32_t width = 0; // current mode
        std::uint32_t height = 0;
    };
    // Every monitor Mutter's display configuration lists that is not one of
    // our virtual monitors, the primary first. Ids stay the same for a
    // connector while the platform lives.
    std::vector<Monitor> monitors(std::string* error = nullptr);
    // Every monitor's connector, ours included (DisplayConfig GetCurrentState).
    std::vector<Monitor> allMonitors(std::string* error = nullptr);

private:
    GnomeDesktop() = default;
    struct Entry;
    std::unique_ptr<Recording> record(std::uint32_t id, const std::string& connector, std::uint32_t width,
        std::uint32_t height, std::string* error, std::shared_ptr<std::atomic<bool>> pictured = nullptr);
    // The connector of the monitor of that size not in `before`, once Mutter lists it.
    std::string awaitMonitor(const std::set<std::string>& before, std::uint32_t width, std::uint32_t height);
    // Waits (a bounded time) until Mutter no longer lists `connector`.
    void awaitDeparture(const std::string& connector);
    // Waits (a bounded time) for a recording's first picture; whether it came.
    static bool awaitPicture(const std::atomic<bool>& pictured);
    // Gives `connector`'s logical monitor `scale`. With `before` (the layout
    // from before that monitor came), the user's monitors go back where they
    // were and ours next to them; without, they are kept where they are.
    bool applyScale(const std::string& connector, double scale, const MonitorLayout* before, std::string* error);
    // The current layout as it will be without `connector`'s monitor.
    std::optional<MonitorLayout> layoutWithout(const std::string& connector);
    // Once `connector`'s monitor is gone, applies `layout` (from layoutWithout).
    void putBack(const std::string& connector, const MonitorLayout& layout);
    void deliver(std::uint32_t id, const Frame& frame);
    void closed(std::uint32_t id);
    void ended(std::uint32_t id, const std::string& why);
    void layoutChanged();
    void compositorChanged(bool away);

    std::shared_ptr<MutterBus> bus_;
    std::shared_ptr<PipeWire> pipewire_;
    unsigned ownerWatch_ = 0;
    unsigned layoutWatch_ = 0;
    std::mutex awayLock_;
    bool away_ = false;
    std::function<void(bool)> onAway_;

    // Its change lock lets one slow change run at a time; its lock also
    // guards each entry's fields and ourConnectors_. Monitors are named by
    // their connector.
    VirtualOutputs<std::shared_ptr<Entry>> displays_;
    std::set<std::string> ourConnectors_;

    // Mutter sends a picture only when it changes.
    DisplaySinks sinks_;
};

} // namespace qb::gnome
