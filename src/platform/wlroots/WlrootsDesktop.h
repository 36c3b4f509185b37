// A wlroots compositor (sway and its kin) as the wlroots backend's services
// share it: one Wayland connection with its own thread, and, on sway, the
// control socket that adds and removes outputs.
//
// Our displays are headless outputs sway creates (create_output), sized and
// placed to the right of the layout over the control socket, and unplugged
// at stop. A sway older than 1.8 cannot unplug an output, nor disable a
// headless one: ours are then parked far off the layout, out of the
// pointer's reach, and placed again for the next display. Their names are kept in
// a file with the socket they belong to, so that a daemon that crashed has
// its outputs removed at the next start on the same sway.
//
// Capture is wlr-screencopy with damage into shared memory: sway answers a
// copy request only once the output changed, so a still screen costs
// nothing. Input is one wlr virtual pointer per output, mapped to it.
//
// Threads: every member may be called from any thread. The Wayland
// connection lives on the desktop's own thread; calls that touch it post
// there and wait. Frames reach their sinks on that thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/CompositorDisplays.h"
#include "platform/InputInjector.h"
#include "platform/PushedCapture.h"
#include "platform/VirtualOutputs.h"
#include "platform/wlroots/SwayIpc.h"

namespace qb::wlroots {

class WlrootsConnection;

class WlrootsDesktop : public FrameSource, public std::enable_shared_from_this<WlrootsDesktop> {
public:
    struct Options {
        std::string waylandDisplay; // $WAYLAND_DISPLAY
        std::string swaySocket;     // $SWAYSOCK; empty: no outputs can be added
        // Where the names of our outputs are kept between starts.
        std::filesystem::path recordFile;
    };
    // nullptr when the compositor cannot be reached or lacks screencopy,
    // `error` saying why.
    static std::shared_ptr<WlrootsDesktop> open(const Options& options, std::string* error);
    ~WlrootsDesktop() override;

    // Whether input can be injected (the virtual pointer manager was offered).
    bool canInject() const;
    // Whether keys can be typed (a virtual keyboard can be made), and one key.
    bool canType() const;
    void key(std::uint32_t keysym, bool down);
    // Whether outputs can be added (sway's control socket answered).
    bool canAddOutputs() const { return ipc_ != nullptr; }

    // ------------------------------------------------------ our displays

    std::optional<std::uint32_t> createDisplay(std::uint32_t width, std::uint32_t height, std::string* error);
    void removeDisplay(std::uint32_t id);
    void removeAll() { for (std::uint32_t id : displays_.ids()) removeDisplay(id); }
    std::vector<std::uint32_t> displayIds() const { return displays_.ids(); }
    bool isOurs(std::uint32_t id) const { return displays_.contains(id); }
    // While mirroring, our output leaves the layout and the display shows
    // the primary output. 0 or a DISPLAY_ERROR_* code.
    std::int32_t setMirroring(std::uint32_t id, bool mirroring);
    // HiDPI: the output's scale (2 for a HiDPI mode, else 1).
    bool setScale(std::uint32_t id, double scale);

    // The output shown (the primary's while mirroring); nullopt for an
    // unknown display or one whose output is gone.
    std::optional<OutputPlacement> placement(std::uint32_t id);

    // --------------------------------------------- the compositor's outputs

    // The active outputs that are not ours, the primary first (built in
    // when it is a laptop's panel). Ids stay the same for a name while the
    // desktop lives.
    std::vector<OutputMonitor<SwayOutput>> monitors();

    // ------------------------------------------------------------ input

    // A pointer event at layout point (x, y): motion, then the button change
    // when there is one.
    void pointer(double x, double y, std::optional<ButtonChange> button);
    // Finger scrolling on the pointer's output: pixels, positive down and
    // right; `stop` ends the gesture.
    void scroll(double vertical, double horizontal, bool stop);

    // ------------------------------------------------------ FrameSource

    std::optional<std::pair<std::size_t, std::size_t>> pictureSize(std::uint32_t displayId) override
    {
        return pixelsOf(placement(displayId));
    }
    bool attach(const CaptureStreamRequest& request, std::shared_ptr<FrameSink> sink) override;
    void detach(std::uint32_t displayId, const FrameSink* sink) override;

    // Runs once when the compositor connection ends.
    void onLost(std::function<void()> callback);

private:
    WlrootsDesktop() = default;
    struct Entry {
        std::string output;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        bool mirroring = false;
    };
    std::vector<SwayOutput> outputs();
    std::optional<SwayOutput> findOutput(const std::vector<SwayOutput>& all, const std::string& name) const;
    std::string primaryName(const std::vector<SwayOutput>& all) const;
    std::string shownOutput(std::uint32_t id) const;
    bool placeOurs(const std::string& name, std::uint32_t width, std::uint32_t height, std::string* error);
    void writeRecord();
    void recover();
    void release(const std::string& name);
    void park(const std::string& name);
    void closeGaps();

    Options options_;
    std::unique_ptr<SwayIpc> ipc_;
    std::shared_ptr<WlrootsConnection> wayland_;
    bool canUnplug_ = true;

    // Its change lock lets one layout change run at a time; its lock also
    // guards the members below.
    VirtualOutputs<Entry> displays_;
    // The layout as sway last listed it, for when a listing fails.
    std::vector<SwayOutput> lastLayout_;
    bool layoutUnread_ = false;
    std::vector<std::string> spares_; // disabled outputs of ours, for reuse
    std::string mirrorSource_;        // the output our mirroring displays show
};

} // namespace qb::wlroots
