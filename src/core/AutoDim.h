// AutoDim: while a stream client watches in mirror mode, the host's own
// built-in panel is dimmed to zero (nobody looks at it), and its brightness
// comes back once no client is left.
//
//   undimmed --first client, dimDelay later still connected--> dimmed
//   dimmed   --last client gone, restoreDelay later still none--> undimmed
//
// A client leaving within dimDelay cancels the dim; one returning within
// restoreDelay cancels the restore. Because a daemon killed while dimmed
// would leave the panel dark, the saved brightness is also written to a
// recovery file, which exists only while dimmed; restoreAfterCrash() at the
// next start puts the brightness back.
//
// The panel is reached through two functions (read, write), so the
// component does not care which backlight interface the host offers.
// Runs on the executor given at construction (the main loop).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "config/DisplayResolution.h"
#include "config/MirrorStatus.h"
#include "config/Modes.h"
#include "runtime/Asio.h"
#include "runtime/Timer.h"

namespace qb {

enum class DimAction { scheduleDim, scheduleRestore, cancelDimTimer, cancelRestoreTimer };

// Nothing unless enabled, in mirror mode and running; then the first
// client brings (cancelRestoreTimer, scheduleDim) and the last one leaving
// (cancelDimTimer, scheduleRestore).
std::vector<DimAction> computeDimActions(int previousClientCount, int newClientCount, bool autoDimHost,
    DisplayMode displayMode, const MirrorStatus& status);

struct AutoDimTiming {
    Duration dimDelay = std::chrono::seconds(3);
    Duration restoreDelay = std::chrono::seconds(5);
};

// How the engine dims the host's panel; AutoDim is the production one.
// Main loop.
class HostDimming {
public:
    // What the engine looks like when a pending step fires.
    struct Conditions {
        int clientCount = 0;
        bool running = false;
    };
    virtual ~HostDimming() = default;
    // Where pending steps read the engine's conditions; set once by the engine.
    virtual void watch(std::function<Conditions()> conditions) = 0;
    virtual void clientCountChanged(int previous, int current, bool autoDimHost, DisplayMode displayMode,
        const MirrorStatus& status) = 0;
    // Cancels pending steps and, when dimmed, restores at once and logs
    // `logLine` with the value as its one "{:.2f}" field (stop, leaving
    // mirror mode).
    virtual void cancelAndRestore(const std::string& logLine) = 0;
    // On wake: cancels pending steps, restores when no client is connected.
    virtual void restoreOnWake() = 0;
    // At start: a brightness left in the recovery file by a daemon that died
    // dimmed is put back, and the file removed.
    virtual void restoreAfterCrash() = 0;
};

class AutoDim final : public HostDimming {
public:
    struct Panel {
        std::function<std::optional<float>()> read; // 0...1, nothing when unreadable
        std::function<void(float)> write;
    };

    // The recovery file: <home>/.quillbright/saved_brightness.
    static std::filesystem::path recoveryFileIn(const std::filesystem::path& home);

    AutoDim(Executor executor, Panel panel, std::function<Conditions()> conditions,
        std::filesystem::path recoveryFile, AutoDimTiming timing = {});
    ~AutoDim() override;
    AutoDim(const AutoDim&) = delete;
    AutoDim& operator=(const AutoDim&) = delete;

    void watch(std::function<Conditions()> conditions) override { conditions_ = std::move(conditions); }
    void clientCountChanged(int previous, int current, bool autoDimHost, DisplayMode displayMode,
        const MirrorStatus& status) override;
    void cancelAndRestore(const std::string& logLine) override;
    void restoreOnWake() override;
    void restoreAfterCrash() override;

    std::optional<float> savedBrightness() const { return saved_; }

private:
    void dimStep();
    void restoreStep();
    void cancelTimers();
    // Writes the saved level back, forgets it and removes the recovery
    // file; returns the level. Only with a saved level.
    float putBack();

    Executor executor_;
    Panel panel_;
    std::function<Conditions()> conditions_;
    std::filesystem::path recoveryFile_;
    AutoDimTiming timing_;
    std::shared_ptr<Timer> dimTimer_;
    std::shared_ptr<Timer> restoreTimer_;
    std::optional<float> saved_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace qb
