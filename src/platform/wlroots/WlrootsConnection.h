// The wlroots backend's Wayland connection: the globals it binds (outputs
// by name, shared memory, the seat, screencopy, the virtual pointer
// manager), on a thread of its own that owns every Wayland object. Other
// threads post work there; calls that need an answer wait for it.
//
// Screencopy loop of one capture, on that thread:
//   capture_output → buffer… buffer_done → copy_with_damage(shm buffer)
//   → damage… flags ready → the sink gets the picture → the next capture_output
// sway answers copy_with_damage only once the output changed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/InputInjector.h"
#include "platform/PushedCapture.h"
#include "platform/wlroots/SwayIpc.h"

namespace qb::wlroots {

// Whether the compositor at `display` advertises both wlr-screencopy and the
// wlr virtual pointer manager: a wlroots compositor, sway or another, even
// where $SWAYSOCK is not set. One round trip; false when it cannot be reached.
bool advertisesWlrootsGlobals(const std::string& display);

class WlrootsConnection {
public:
    // nullptr when the display cannot be reached or offers no screencopy.
    static std::shared_ptr<WlrootsConnection> connect(const std::string& display, std::string* error);
    ~WlrootsConnection();
    WlrootsConnection(const WlrootsConnection&) = delete;
    WlrootsConnection& operator=(const WlrootsConnection&) = delete;

    // The compositor announced an output of that name (and its mode).
    bool hasOutput(const std::string& name, std::uint32_t width = 0, std::uint32_t height = 0);
    // The outputs as Wayland announces them: names, modes and scales, but
    // no layout positions (all at 0,0), for a compositor that is not sway.
    std::vector<SwayOutput> outputs() const;
    // Whether virtual pointers can be made.
    bool canInject() const;

    // Copies of display `id` go to `sink`; `target` names the output the
    // display shows (asked before each copy; empty: none at the moment).
    void startCapture(std::uint32_t id, std::function<std::string()> target, bool cursor,
        std::shared_ptr<FrameSink> sink);
    // When it returns, the sink is not called again (unless called on the
    // connection's thread, where no call runs anyway).
    void stopCapture(std::uint32_t id, const FrameSink* sink);
    // The display shows another output now: its capture starts over there.
    void retarget(std::uint32_t id);
    // The display is gone: its sink hears so, once.
    void endCapture(std::uint32_t id);

    // Pointer motion to (x, y) of an output whose extent is width × height
    // (logical pixels), then the button change when given.
    void pointer(const std::string& output, double x, double y, double width, double height,
        std::optional<ButtonChange> button);
    // Finger scroll on the output of the last motion.
    void scroll(double vertical, double horizontal, bool stop);
    // Whether keys can be typed (the virtual keyboard manager was offered).
    bool canType() const;
    // One key of `keysym` down or up on a virtual keyboard of ours, whose
    // keymap gains the keysym when it lacks it.
    void key(std::uint32_t keysym, bool down);

    // Runs once, on the connection's thread, when the compositor goes.
    void onLost(std::function<void()> callback);

private:
    WlrootsConnection() = default;
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace qb::wlroots
