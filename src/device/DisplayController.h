// The front light of a Daylight DC-1 as the host sees it: brightness and
// warmth (amber rate), changed on request (control commands) and from the
// keyboard while the device mirrors.
//
// Brightness goes to the device as a brightness command on the session's
// frame stream (the frame server also greets later clients with it); warmth
// goes through adb as the Android system setting
// "screen_brightness_amber_rate". start() reads both current values from the
// device's settings ("screen_brightness", "screen_brightness_amber_rate")
// and grabs the hotkeys:
//
//   Ctrl+F1 / Ctrl+F2    brightness one step down / up (square-root scale)
//   Ctrl+F10             backlight off, or back on at the saved brightness
//   Ctrl+F11 / Ctrl+F12  warmth -20 / +20
//
// and the same with the media keys those function keys produce on many
// keyboards (brightness down/up, mute, volume down/up).
//
// Owner: the engine, one controller for the DC-1 session. Threads: every
// member, callback and hotkey handler runs on the main loop. The adb
// reads run on a global queue and their results hop back to the main loop;
// warmth writes run in order on a serial queue of their own, so the device
// ends at the last value asked for.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/GlobalHotkeys.h"
#include "runtime/Asio.h"
#include "runtime/Queues.h"
#include "transport/FrameServer.h"

namespace qb {

class DisplayController : public std::enable_shared_from_this<DisplayController> {
public:
    static constexpr const char* BRIGHTNESS_SETTING = "screen_brightness";
    static constexpr const char* WARMTH_SETTING = "screen_brightness_amber_rate";

    // `hotkeys` may be null (no global key grabs on this desktop).
    static std::shared_ptr<DisplayController> make(Executor mainLoop, std::shared_ptr<FrameServer> tcpServer,
        std::optional<std::string> deviceSerial, std::shared_ptr<GlobalHotkeys> hotkeys);
    ~DisplayController();
    DisplayController(const DisplayController&) = delete;
    DisplayController& operator=(const DisplayController&) = delete;

    void start();
    // Releases the hotkeys; a device reading still under way is dropped.
    void stop();

    // One perceptual step up (delta > 0) or down (delta <= 0).
    void adjustBrightness(int delta);
    void setBrightness(int value);
    void adjustWarmth(int delta);
    void setWarmth(int value);
    void toggleBacklight();

    int currentBrightness() const { return currentBrightness_; }
    int currentWarmth() const { return currentWarmth_; }
    bool backlightOn() const { return backlightOn_; }
    int savedBrightness() const { return savedBrightness_; }

    // A slider position in 0...1 to a brightness 0...255: 0 below 0.03,
    // else position² × 255, at least 1, truncated, at most 255.
    static int brightnessFromSliderPos(double position);

    std::function<void(int)> onBrightnessChanged;
    std::function<void(int)> onWarmthChanged;
    std::function<void(bool)> onBacklightChanged;

private:
    DisplayController(Executor mainLoop, std::shared_ptr<FrameServer> tcpServer, std::optional<std::string> deviceSerial,
        std::shared_ptr<GlobalHotkeys> hotkeys);
    void deviceValuesRead(std::uint64_t generation, std::optional<int> brightness, std::optional<int> warmth);
    void sendBrightness(int value);
    void applyWarmth(int value);
    void grabHotkeys();

    Executor mainLoop_;
    std::shared_ptr<FrameServer> tcpServer_;
    std::optional<std::string> deviceSerial_;
    std::shared_ptr<GlobalHotkeys> hotkeys_;
    std::shared_ptr<SerialQueue> warmthWriter_;

    int currentBrightness_ = 128;
    int currentWarmth_ = 128;
    bool backlightOn_ = true;
    int savedBrightness_ = 128;
    std::vector<GlobalHotkeys::Registration> registrations_;
    bool started_ = false;
    std::uint64_t generation_ = 0;
};

} // namespace qb
