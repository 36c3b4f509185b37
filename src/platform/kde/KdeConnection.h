// The kde backend's Wayland connection to KWin: the outputs (names, modes,
// positions), KWin's screencast manager (zkde_screencast_unstable_v1, which
// streams an output, or a new virtual output, as a PipeWire node) and its
// fake input device (org_kde_kwin_fake_input). KWin offers both only to
// programs its permission check lets through (see docs/platform.md).
//
// One thread of the connection's own owns every Wayland object and
// dispatches KWin's events; other threads post work there, and calls that
// need an answer wait for it (at most a few seconds).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/InputInjector.h"

namespace qb::kde {

struct KdeOutput {
    std::string name;
    // Its rectangle in the desktop's layout (logical pixels).
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t logicalWidth = 0;
    std::uint32_t logicalHeight = 0;
    // Its current mode (pixels).
    std::uint32_t pixelWidth = 0;
    std::uint32_t pixelHeight = 0;
};

class KdeConnection {
public:
    // nullptr when the display cannot be reached or KWin offers this program
    // no screencast manager; `error` says why.
    static std::shared_ptr<KdeConnection> connect(const std::string& display, std::string* error);
    ~KdeConnection();
    KdeConnection(const KdeConnection&) = delete;
    KdeConnection& operator=(const KdeConnection&) = delete;

    // Every output KWin announced, after a round trip (so ones just added or
    // removed are seen).
    std::vector<KdeOutput> outputs();
    // Whether the fake input device was offered.
    bool canInject() const;

    // A screencast stream: its PipeWire node, and the handle that closes it.
    struct Stream {
        std::uint32_t handle = 0;
        std::uint32_t node = 0;
    };
    // A stream of the output of that name; nullopt with `error` when KWin refuses.
    std::optional<Stream> streamOutput(const std::string& name, std::string* error);
    // A new output of `width`×`height` logical pixels at `scale`, and its
    // stream; the output lives until the stream is closed.
    std::optional<Stream> streamVirtualOutput(const std::string& name, std::uint32_t width, std::uint32_t height,
        double scale, std::string* error);
    // KWin ends the stream (and removes a virtual output). Idempotent. A
    // stream KWin ends by itself (its output went away) takes its PipeWire
    // node with it, which the node's consumer hears.
    void closeStream(std::uint32_t handle);

    // The pointer to (x, y) of the layout, then the button change when given.
    void pointer(double x, double y, std::optional<ButtonChange> button);
    // Scrolling by pixels, positive down and right.
    void scroll(double vertical, double horizontal);

    // Runs once, on the connection's thread, when KWin goes.
    void onLost(std::function<void()> callback);

private:
    KdeConnection() = default;
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace qb::kde
