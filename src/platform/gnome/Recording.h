// One recording of the desktop through Mutter: a remote-desktop session, the
// screen-cast session tied to it (remote-desktop-session-id), one stream of
// that session, and our PipeWire consumer of the stream's node.
//
//   virtual  Session.RecordVirtual: Mutter adds a monitor that extends the
//            desktop, as large as the video format we negotiate (so the size
//            is ours to ask for, and renegotiating changes it)
//   monitor  Session.RecordMonitor of a connector: that monitor's picture
//
// The cursor is drawn into the picture (cursor-mode "embedded"). Input for
// the recorded area goes through the same remote-desktop session, with
// coordinates in the stream's pixels.
//
// The stream itself is a PipeWireStream (platform/pipewire/).
//
// Threads: start and stop from any one thread at a time. `onFrame` runs on
// PipeWire's data thread; `onClosed` on the bus thread or PipeWire's thread, at
// most once, when Mutter ends the session by itself or the stream fails.
// Neither runs after stop() returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/CaptureStream.h"
#include "platform/PushedCapture.h"
#include "platform/gnome/MutterBus.h"
#include "platform/pipewire/PipeWireStream.h"

namespace qb::gnome {

// One picture as the stream delivered it: BGRx/BGRA rows of `stride` bytes.
using Frame = PushedFrame;

class Recording {
public:
    struct Options {
        std::string connector; // empty: a virtual monitor
        std::uint32_t width = 0; // the virtual monitor's size (a monitor keeps its own)
        std::uint32_t height = 0;
        std::function<void(const Frame&)> onFrame;
        std::function<void()> onClosed;
    };

    // Creates the sessions, starts them and waits (a few seconds at most)
    // until the stream's format is agreed, so a virtual monitor exists when
    // it returns. nullptr on failure, with `error` saying why.
    static std::unique_ptr<Recording> start(std::shared_ptr<MutterBus> bus, std::shared_ptr<PipeWire> pipewire,
        Options options, std::string* error);
    ~Recording();

    // The stream's object path (input coordinates refer to it) and the
    // remote-desktop session's (input calls go to it).
    const std::string& streamPath() const { return streamPath_; }
    const std::string& sessionPath() const { return sessionPath_; }
    // The agreed picture size.
    std::uint32_t width() const;
    std::uint32_t height() const;

    // Asks for another size of a virtual monitor (the format is renegotiated,
    // the session stays); false when the stream would not take it in time.
    bool resize(std::uint32_t width, std::uint32_t height);

    // Ends the stream and both sessions. Idempotent.
    void stop();

    struct State;

private:
    Recording() = default;

    std::shared_ptr<MutterBus> bus_;
    std::shared_ptr<PipeWire> pipewire_;
    std::shared_ptr<State> state_;
    std::shared_ptr<PipeWireStream> stream_;
    std::string sessionPath_;
    std::string screenCastPath_;
    std::string streamPath_;
    std::vector<unsigned> subscriptions_;
    bool stopped_ = false;
};

} // namespace qb::gnome
