// The simulated desktop behind every sim backend of the pipeline: displays
// (a built-in 2560×1600 panel and any created virtual displays), their modes
// and mirroring, what each shows (a scene, plus the pacer windows drawn on
// top), and the failures a test wants the platform to have.
//
// One world per process (SimWorld::shared()). The sim CaptureBackend,
// VirtualDisplays and PacerWindows read and change it; tests inspect it,
// script pictures and inject failures:
//
//   auto& world = sim::SimWorld::shared();
//   world.reset();
//   world.updateFailures([](sim::SimFailures& f) { f.completeError = 1004; });
//   auto scene = std::make_shared<sim::ScriptedScene>();
//   world.setScene(displayId, scene);  scene->showSolid(64, 64, 0, 0, 255);
//
// The environment sets the defaults: QUILLBRIGHT_SIM_SCENE=pattern|<PNG dir>
// and QUILLBRIGHT_SIM_FPS (SimScene.h), QUILLBRIGHT_SIM_ROW_PADDING (bytes).
//
// Thread-safe: one lock guards the state; scenes render outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/PacerWindows.h"
#include "platform/VirtualDisplays.h"
#include "platform/sim/SimScene.h"
#include "runtime/Timer.h"

namespace qb::sim {

// Platform failures a test can switch on. Error codes of 0 mean "succeeds".
struct SimFailures {
    // Virtual displays
    bool createDisplayFails = false;
    bool applySettingsFails = false;
    bool omitHiDPIModes = false;       // applied HiDPI settings list only low-resolution modes
    std::vector<DisplayModeInfo> extraModes; // appended to every virtual display's list (ids assigned)
    bool copyModesFails = false;
    std::int32_t setModeError = 0;
    // Display configuration
    bool beginConfigurationFails = false;
    std::int32_t configureMirrorError = 0;
    std::int32_t completeError = 0;
    // Capture
    bool permissionDenied = false;
    bool createStreamFails = false;
    int temporaryStartFailures = 0; // the next this many stream starts fail, temporarily
    bool startFailsPermanently = false;
};

struct SimDisplayState {
    std::uint32_t id = 0;
    bool builtIn = false;
    bool hasScreen = true;
    VirtualDisplayDescriptor descriptor; // the built-in display has a made-up one
    bool hiDPI = false;
    std::vector<DisplayModeInfo> modes;
    std::uint32_t currentModeId = 0;
    std::uint32_t mirrorOf = NULL_DISPLAY_ID;

    const DisplayModeInfo* currentMode() const;
    // The current mode's size in pixels (points for the pacer's layout).
    std::size_t pixelWidth() const;
    std::size_t pixelHeight() const;
    std::size_t pointWidth() const;
    std::size_t pointHeight() const;
};

struct SimWindowState {
    std::uint64_t id = 0;
    PacerWindowRequest request;
    std::uint32_t displayNumber = 0; // the screen it is on
    ScreenRect frame;
    WindowColor background;
    std::uint64_t colorSets = 0;    // setBackgroundColor calls
    std::uint64_t colorChanges = 0; // of which changed the colour
    bool orderedFront = false;
    bool closed = false;
};

// Identifies one picture of a display: equal keys, equal pictures.
struct SimPictureKey {
    const SimScene* scene = nullptr;
    std::uint64_t sceneGeneration = 0;
    std::uint64_t frame = 0;
    std::optional<WindowColor> overlay;

    bool operator==(const SimPictureKey&) const = default;
};

class SimWorld {
public:
    static constexpr std::uint32_t BUILT_IN_DISPLAY_ID = 1;

    static SimWorld& shared();

    SimWorld();

    // Back to a fresh desktop: the built-in display only, no failures, no
    // windows or display links, the environment's scene and row padding.
    void reset();

    // ---- Displays ----
    std::optional<SimDisplayState> display(std::uint32_t id) const;
    std::vector<std::uint32_t> displayIds() const;
    void removeBuiltInDisplay();
    // Whether the desktop lays out a screen for the display.
    void setDisplayHasScreen(std::uint32_t id, bool hasScreen);
    // Unplugs a display (a released virtual display goes the same way).
    void removeDisplay(std::uint32_t id);

    // ---- Failures ----
    SimFailures failures() const;
    void updateFailures(const std::function<void(SimFailures&)>& change);

    // ---- Pictures ----
    // The scene shown by the display (restarting its clock); new displays get
    // the default scene.
    void setScene(std::uint32_t id, std::shared_ptr<SimScene> scene);
    void setDefaultScene(std::shared_ptr<SimScene> scene);
    // Extra bytes at the end of every captured row.
    void setRowPadding(std::size_t bytes);
    std::size_t rowPadding() const;

    // ---- Display configuration history ----
    // "begin", "mirror <display> of <master>", "complete <option>", "cancel".
    std::vector<std::string> configurationLog() const;

    // ---- Pacer windows and display links ----
    std::vector<SimWindowState> windows() const;
    // Interval of the sim display links (1/60 s unless a test speeds it up).
    void setDisplayLinkInterval(Duration interval);
    std::size_t activeDisplayLinks() const;
    // Runs every active display link's tick `count` times on this thread.
    void fireDisplayLinks(std::size_t count);

    // ---- Capture ----
    std::size_t activeStreams() const;

    // ---- For the sim backends ----
    std::optional<std::uint32_t> createDisplay(const VirtualDisplayDescriptor& descriptor);
    bool applySettings(std::uint32_t id, const VirtualDisplaySettings& settings);
    std::int32_t setDisplayMode(std::uint32_t id, std::uint32_t modeId);
    void recordConfiguration(std::string step);
    // Applies a completed transaction's mirror changes (display → master).
    std::int32_t applyMirrors(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& changes);
    std::vector<ScreenInfo> screens() const;
    std::uint64_t addWindow(const PacerWindowRequest& request, std::uint32_t displayNumber, ScreenRect frame);
    void updateWindow(std::uint64_t id, const std::function<void(SimWindowState&)>& change);
    std::uint64_t addDisplayLink(std::function<void()> tick);
    void removeDisplayLink(std::uint64_t id);
    Duration displayLinkInterval() const;
    void streamStarted();
    void streamStopped();
    // The picture of a display now; nullopt when the display is gone.
    std::optional<SimPictureKey> pictureKey(std::uint32_t id) const;
    // Draws the picture `key` names at width × height (scaled from the display's size).
    bool renderPicture(std::uint32_t id, const SimPictureKey& key, std::uint8_t* out, std::size_t width,
        std::size_t height, std::size_t stride) const;

private:
    struct DisplayEntry {
        SimDisplayState state;
        std::shared_ptr<SimScene> scene;
        std::uint64_t sceneGeneration = 0;
        double sceneStart = 0;
    };
    struct LinkEntry {
        std::uint64_t id;
        std::shared_ptr<std::function<void()>> tick;
    };

    DisplayEntry* find(std::uint32_t id);
    const DisplayEntry* find(std::uint32_t id) const;
    void addBuiltInLocked();
    std::optional<WindowColor> overlayLocked(std::uint32_t id, std::size_t* x, std::size_t* y,
        std::size_t* size) const;

    mutable std::mutex lock_;
    std::vector<DisplayEntry> displays_;
    std::uint32_t nextDisplayId_ = BUILT_IN_DISPLAY_ID + 1;
    std::uint32_t nextModeId_ = 1;
    std::uint64_t nextGeneration_ = 1;
    SimFailures failures_;
    std::shared_ptr<SimScene> defaultScene_;
    std::size_t rowPadding_ = 32;
    std::vector<std::string> configurationLog_;
    std::vector<SimWindowState> windows_;
    std::uint64_t nextWindowId_ = 1;
    std::vector<LinkEntry> links_;
    std::uint64_t nextLinkId_ = 1;
    Duration linkInterval_;
    std::size_t activeStreams_ = 0;
};

} // namespace qb::sim
