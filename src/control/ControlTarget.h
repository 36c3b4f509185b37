// What the control socket may read from and ask of the engine. The socket's
// command interpreter works against this narrow interface only, so it can be
// driven by a fake in tests; EngineControlTarget adapts the real engine.
//
// Called on the main loop only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/DisplayResolution.h"
#include "config/Modes.h"
#include "config/EngineState.h"
#include "config/PenReading.h"

namespace qb {

// One device session as the health lines show it.
struct ControlSessionInfo {
    std::string model;
    std::string serial;
    std::uint16_t port = 0;
    DisplayResolution resolution;
    // False when the resolution is HiDPI but the desktop did not take it.
    bool hiDPIActive = true;
    PixelFormat pixelFormat = PixelFormat::greyscale;
    std::uint64_t displayId = 0;
    double fps = 0;
    std::int64_t clients = 0;
    bool adbConnected = false;
    bool hasCapture = false;
    bool inputServerRunning = false;
    std::int64_t captureFrames = 0;
    std::int64_t captureSkipped = 0;
    bool captureStreamAlive = false;
    std::optional<PenReading> pen; // the pen's last values on a tablet page of this session
};

// The engine's published state, as the control commands read it, and what
// the health lines add: the version, the sessions and the host's power facts.
struct ControlState : EngineState {
    std::string version;
    std::vector<ControlSessionInfo> sessions;
    // The sleep manager's inhibitor process (0: none) and whether it runs.
    int keepAwakePid = 0;
    bool keepAwakeRunning = false;
    // Power-management facts for `health verbose` (name, value).
    std::vector<std::pair<std::string, std::string>> powerState;
    // Which backend provides each capability ("power", "logind").
    std::vector<std::pair<std::string, std::string>> platform;
};

class ControlTarget {
public:
    virtual ~ControlTarget() = default;

    virtual ControlState state() const = 0;
    // A daemon applies what is set now (false: the settings file, read at
    // the next start).
    virtual bool serving() const { return true; }

    // Forwarded to the device display controller when there is one.
    virtual void setBrightness(int value) = 0;
    virtual void setWarmth(int value) = 0;
    virtual void toggleBacklight() = 0;

    // Published settings; the engine's change handling persists and applies them.
    virtual void setResolution(const DisplayResolution& resolution) = 0;
    virtual void setNonDC1Mode(const std::string& mode) = 0;
    virtual void setContrastAmount(double value) = 0;
    virtual void setGammaAmount(double value) = 0;
    virtual void setDisplayProfile(DisplayProfile profile) = 0;
    virtual void setDisplayMode(DisplayMode mode) = 0;
    virtual void setConnectionMode(ConnectionMode mode) = 0;
    virtual void setAutoMirrorEnabled(bool enabled) = 0;
    virtual void setAutoDimHost(bool enabled) = 0;
    virtual void setAutoRefreshEnabled(bool enabled) = 0;
    virtual void setClamshellModeEnabled(bool enabled) = 0;
    virtual void setFontSmoothing(bool enabled) = 0;

    // Asynchronous: each starts the work and returns at once. start() is
    // false when nothing was started (the status then says why); from an
    // error it starts again, the failed start's leftovers torn down first.
    virtual bool start() = 0;
    virtual void stop() = 0;
    virtual void restart() = 0;
    virtual void reconnect() = 0;
    // Opens the tablet page in the browser of every tablet on USB.
    virtual void openTabletPages() = 0;
    // Wi-Fi mode: a fresh one-time code for a tablet page on the LAN to pair
    // with, and this machine's LAN address (empty when unknown).
    struct TabletPairingOffer {
        std::string code;
        std::string address;
        int minutes = 0; // how long the code lasts
    };
    virtual TabletPairingOffer offerTabletPairing() = 0;
    // Revokes every paired page's token; false when that could not be saved.
    virtual bool forgetTabletPages() = 0;

    // The full diagnostic report (runs adb; may block for a few seconds).
    virtual std::string report() = 0;
};

// A target whose stored settings change through one operation: each setter
// hands changeSettings() the settings as state() has them with the one
// named set anew. The daemon's target and the settings file's are two.
class SettingsChangingTarget : public ControlTarget {
public:
    void setResolution(const DisplayResolution& value) override { set(&Values::resolution, value, P::resolution); }
    void setNonDC1Mode(const std::string& value) override { set(&Values::nonDC1Mode, value, P::nonDC1Mode); }
    void setContrastAmount(double value) override { set(&Values::contrastAmount, value, P::contrastAmount); }
    void setGammaAmount(double value) override { set(&Values::gammaAmount, value, P::gammaAmount); }
    void setDisplayProfile(DisplayProfile value) override { set(&Values::displayProfile, value, P::displayProfile); }
    void setDisplayMode(DisplayMode value) override { set(&Values::displayMode, value, P::displayMode); }
    void setConnectionMode(ConnectionMode value) override { set(&Values::connectionMode, value, P::connectionMode); }
    void setAutoMirrorEnabled(bool on) override { set(&Values::autoMirrorEnabled, on, P::autoMirrorEnabled); }
    void setAutoDimHost(bool on) override { set(&Values::autoDimHost, on, P::autoDimHost); }
    void setAutoRefreshEnabled(bool on) override { set(&Values::autoRefreshEnabled, on, P::autoRefreshEnabled); }
    void setClamshellModeEnabled(bool on) override { set(&Values::clamshellModeEnabled, on, P::clamshellModeEnabled); }

protected:
    // `wanted`: the settings with `changed` set anew, the others as they are.
    virtual void changeSettings(const EngineSettingsValues& wanted, EngineProperty changed) = 0;

private:
    using Values = EngineSettingsValues;
    using P = EngineProperty;
    template <class T>
    void set(T Values::*field, const T& value, P property)
    {
        Values wanted = state();
        wanted.*field = value;
        changeSettings(wanted, property);
    }
};

} // namespace qb
