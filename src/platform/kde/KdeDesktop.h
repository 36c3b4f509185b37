// KDE Plasma on Wayland as the kde backend's services share it: one Wayland
// connection to KWin (its screencast manager and fake input device) and one
// PipeWire connection for the streams KWin hands out.
//
// Our displays are virtual outputs KWin adds for a screencast stream
// (stream_virtual_output): the output lives exactly as long as its stream,
// so a daemon that ends, even by a crash, leaves none behind. While
// mirroring, our output is closed and the display shows a stream of the
// primary output; it comes back when mirroring ends. A display's frames
// come from its stream from creation on (the newest is kept, so a capture
// attached later starts from it); a monitor's stream runs while a capture
// is attached. The pointer travels beside the pictures, as PipeWire
// metadata.
//
// Threads: every member may be called from any thread; slow changes (add,
// remove, mirror: a KWin round trip and a PipeWire negotiation) run one at
// a time. Frames reach the attached FrameSink on PipeWire's data thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CompositorDisplays.h"
#include "platform/PushedCapture.h"
#include "platform/VirtualOutputs.h"
#include "platform/kde/KdeConnection.h"
#include "platform/pipewire/PipeWireStream.h"

namespace qb::kde {

class KdeDesktop : public FrameSource, public std::enable_shared_from_this<KdeDesktop> {
public:
    // nullptr when KWin or PipeWire cannot be reached, `error` saying why.
    static std::shared_ptr<KdeDesktop> open(const std::string& waylandDisplay, std::string* error);
    ~KdeDesktop() override;

    bool canInject() const { return connection_->canInject(); }

    // ------------------------------------------------------ our displays

    std::optional<std::uint32_t> createDisplay(std::uint32_t width, std::uint32_t height, std::string* error);
    void removeDisplay(std::uint32_t id);
    void removeAll() { for (std::uint32_t id : displays_.ids()) removeDisplay(id); }
    std::vector<std::uint32_t> displayIds() const { return displays_.ids(); }
    bool isOurs(std::uint32_t id) const { return displays_.contains(id); }
    // 0 or a DISPLAY_ERROR_* code.
    std::int32_t setMirroring(std::uint32_t id, bool mirroring);
    // HiDPI: KWin makes the output anew at that scale (same pixels).
    bool setScale(std::uint32_t id, double scale);

    // The output shown (ours; the primary's while mirroring).
    std::optional<OutputPlacement> placement(std::uint32_t id);

    // KWin's outputs that are not ours, the primary (at the layout's
    // origin) first; none is known to be built in (these protocols do not
    // tell). Ids stay the same for a name while the desktop lives.
    std::vector<OutputMonitor<KdeOutput>> monitors();

    // ------------------------------------------------------------ input

    void pointer(double x, double y, std::optional<ButtonChange> button) { connection_->pointer(x, y, button); }
    // Fake input has no gesture end: `stop` needs nothing.
    void scroll(double vertical, double horizontal, bool stop)
    {
        (void)stop;
        connection_->scroll(vertical, horizontal);
    }

    // ------------------------------------------------------ FrameSource

    std::optional<std::pair<std::size_t, std::size_t>> pictureSize(std::uint32_t displayId) override
    {
        return pixelsOf(placement(displayId));
    }
    bool attach(const CaptureStreamRequest& request, std::shared_ptr<FrameSink> sink) override;
    void detach(std::uint32_t displayId, const FrameSink* sink) override;

    void onLost(std::function<void()> callback) { connection_->onLost(std::move(callback)); }

private:
    KdeDesktop() = default;
    // A screencast stream and our PipeWire consumer of it.
    struct Feed {
        std::uint32_t handle = 0;
        std::string output; // the output it shows (KWin's name)
        std::unique_ptr<PipeWireStream> stream;
    };
    struct Entry {
        std::uint32_t width = 0; // pixels
        std::uint32_t height = 0;
        double scale = 1;
        bool mirroring = false;
        std::shared_ptr<Feed> feed;
    };
    std::shared_ptr<Feed> startFeed(std::uint32_t id, const std::optional<std::string>& output, std::uint32_t width,
        std::uint32_t height, double scale, std::string* error);
    void stopFeed(const std::shared_ptr<Feed>& feed);
    void deliver(std::uint32_t id, const PushedFrame& frame);
    void ended(std::uint32_t id);
    std::optional<KdeOutput> outputNamed(const std::string& name);

    std::shared_ptr<KdeConnection> connection_;
    std::shared_ptr<PipeWire> pipewire_;

    // Its change lock lets one slow change run at a time; its lock also
    // guards monitorFeeds_.
    VirtualOutputs<Entry> displays_;
    // A monitor's stream while a capture is attached.
    std::map<std::uint32_t, std::shared_ptr<Feed>> monitorFeeds_;

    DisplaySinks sinks_;
};

} // namespace qb::kde
