#include "device/DisplayController.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "device/ADBBridge.h"
#include "diagnostics/PlatformLog.h"
#include "transport/FrameProtocol.h"

namespace qb {

namespace {

void controllerLine(LogLevel level, const std::string& line) { platformLog(level, "DisplayController", line); }

// The media keys (X keysyms) that the F-keys produce on keyboards where
// they act as special keys first.
constexpr std::uint32_t KEYSYM_MONITOR_BRIGHTNESS_UP = 0x1008FF02;
constexpr std::uint32_t KEYSYM_MONITOR_BRIGHTNESS_DOWN = 0x1008FF03;
constexpr std::uint32_t KEYSYM_AUDIO_LOWER_VOLUME = 0x1008FF11;
constexpr std::uint32_t KEYSYM_AUDIO_MUTE = 0x1008FF12;
constexpr std::uint32_t KEYSYM_AUDIO_RAISE_VOLUME = 0x1008FF13;

int clampByte(int value) { return std::clamp(value, 0, 255); }

} // namespace

std::shared_ptr<DisplayController> DisplayController::make(Executor mainLoop, std::shared_ptr<FrameServer> tcpServer,
    std::optional<std::string> deviceSerial, std::shared_ptr<GlobalHotkeys> hotkeys)
{
    return std::shared_ptr<DisplayController>(
        new DisplayController(std::move(mainLoop), std::move(tcpServer), std::move(deviceSerial), std::move(hotkeys)));
}

DisplayController::DisplayController(Executor mainLoop, std::shared_ptr<FrameServer> tcpServer,
    std::optional<std::string> deviceSerial, std::shared_ptr<GlobalHotkeys> hotkeys)
    : mainLoop_(std::move(mainLoop)), tcpServer_(std::move(tcpServer)), deviceSerial_(std::move(deviceSerial)),
      hotkeys_(std::move(hotkeys)), warmthWriter_(SerialQueue::make("display-controller-warmth", QoS::defaultQoS))
{
}

DisplayController::~DisplayController()
{
    if (hotkeys_) {
        for (auto registration : registrations_) hotkeys_->unregisterHotkey(registration);
    }
}

int DisplayController::brightnessFromSliderPos(double position)
{
    if (!(position >= 0.03)) return 0;
    const double value = position * position * 255.0;
    if (value < 1.5) return 1;
    return std::min(255, static_cast<int>(value));
}

void DisplayController::start()
{
    if (started_) return;
    started_ = true;
    const std::uint64_t generation = ++generation_;
    std::weak_ptr<DisplayController> weak = weak_from_this();
    asio::post(globalQueue(QoS::defaultQoS), [weak, serial = deviceSerial_, mainLoop = mainLoop_, generation] {
        const auto brightness = ADBBridge::querySystemSetting(BRIGHTNESS_SETTING, serial);
        const auto warmth = ADBBridge::querySystemSetting(WARMTH_SETTING, serial);
        asio::post(mainLoop, [weak, generation, brightness, warmth] {
            if (auto self = weak.lock()) self->deviceValuesRead(generation, brightness, warmth);
        });
    });
    grabHotkeys();
    controllerLine(LogLevel::info,
        "[DisplayController] Ctrl+F1/F2: brightness | Ctrl+F10: backlight toggle | Ctrl+F11/F12: warmth");
}

void DisplayController::stop()
{
    started_ = false;
    ++generation_;
    if (hotkeys_) {
        for (auto registration : registrations_) hotkeys_->unregisterHotkey(registration);
    }
    registrations_.clear();
}

void DisplayController::deviceValuesRead(std::uint64_t generation, std::optional<int> brightness,
    std::optional<int> warmth)
{
    if (generation != generation_) return;
    if (brightness) {
        // Some devices report a wider range than the command's one byte.
        const int value = clampByte(*brightness);
        currentBrightness_ = value;
        savedBrightness_ = value;
        sendBrightness(value);
        if (onBrightnessChanged) onBrightnessChanged(value);
        controllerLine(LogLevel::info, fmt::format("[DisplayController] Daylight brightness: {}/255", value));
    }
    if (warmth) {
        currentWarmth_ = clampByte(*warmth);
        if (onWarmthChanged) onWarmthChanged(currentWarmth_);
        controllerLine(LogLevel::info, fmt::format("[DisplayController] Daylight warmth: {}/255", currentWarmth_));
    }
}

void DisplayController::grabHotkeys()
{
    if (!hotkeys_) {
        controllerLine(LogLevel::warn,
            "[DisplayController] No global key grabs on this desktop — front-light hotkeys off");
        return;
    }
    struct Binding {
        std::uint32_t keysym;
        const char* name;
        void (*action)(DisplayController&);
    };
    static const Binding bindings[] = {
        {KEYSYM_F1, "F1", [](DisplayController& c) { c.adjustBrightness(-15); }},
        {KEYSYM_F2, "F2", [](DisplayController& c) { c.adjustBrightness(15); }},
        {KEYSYM_F10, "F10", [](DisplayController& c) { c.toggleBacklight(); }},
        {KEYSYM_F11, "F11", [](DisplayController& c) { c.adjustWarmth(-20); }},
        {KEYSYM_F12, "F12", [](DisplayController& c) { c.adjustWarmth(20); }},
        {KEYSYM_MONITOR_BRIGHTNESS_DOWN, "brightness down", [](DisplayController& c) { c.adjustBrightness(-15); }},
        {KEYSYM_MONITOR_BRIGHTNESS_UP, "brightness up", [](DisplayController& c) { c.adjustBrightness(15); }},
        {KEYSYM_AUDIO_MUTE, "mute", [](DisplayController& c) { c.toggleBacklight(); }},
        {KEYSYM_AUDIO_LOWER_VOLUME, "volume down", [](DisplayController& c) { c.adjustWarmth(-20); }},
        {KEYSYM_AUDIO_RAISE_VOLUME, "volume up", [](DisplayController& c) { c.adjustWarmth(20); }},
    };
    std::weak_ptr<DisplayController> weak = weak_from_this();
    for (const auto& binding : bindings) {
        std::string error;
        const auto action = binding.action;
        const auto registration = hotkeys_->registerHotkey(Hotkey{binding.keysym, hotkeyControl},
            [weak, action] {
                if (auto self = weak.lock()) action(*self);
            },
            &error);
        if (registration == 0) {
            controllerLine(LogLevel::warn,
                fmt::format("[DisplayController] Ctrl+{} unavailable: {}", binding.name, error));
            continue;
        }
        registrations_.push_back(registration);
    }
}

void DisplayController::sendBrightness(int value)
{
    if (tcpServer_) {
        tcpServer_->sendCommand(static_cast<std::uint8_t>(CommandCode::brightness), static_cast<std::uint8_t>(value));
    }
}

void DisplayController::adjustBrightness(int delta)
{
    double position = std::sqrt(double(currentBrightness_) / 255.0);
    position += delta > 0 ? 0.05 : -0.05;
    position = std::clamp(position, 0.0, 1.0);
    const int value = brightnessFromSliderPos(position);
    currentBrightness_ = value;
    savedBrightness_ = std::max(value, 1);
    backlightOn_ = value > 0;
    sendBrightness(value);
    if (onBrightnessChanged) onBrightnessChanged(currentBrightness_);
    if (onBacklightChanged) onBacklightChanged(backlightOn_);
    controllerLine(LogLevel::info, fmt::format("[DisplayController] Brightness -> {}/255", value));
}

void DisplayController::setBrightness(int value)
{
    const int clamped = clampByte(value);
    currentBrightness_ = clamped;
    savedBrightness_ = std::max(clamped, 1);
    backlightOn_ = value > 0;
    sendBrightness(clamped);
    if (onBrightnessChanged) onBrightnessChanged(clamped);
    if (onBacklightChanged) onBacklightChanged(backlightOn_);
}

void DisplayController::adjustWarmth(int delta) { applyWarmth(clampByte(currentWarmth_ + delta)); }

void DisplayController::setWarmth(int value) { applyWarmth(clampByte(value)); }

void DisplayController::applyWarmth(int value)
{
    currentWarmth_ = value;
    warmthWriter_->async([serial = deviceSerial_, value] { ADBBridge::setSystemSetting(WARMTH_SETTING, value, serial); });
    if (onWarmthChanged) onWarmthChanged(value);
    controllerLine(LogLevel::info, fmt::format("[DisplayController] Warmth -> {}/255", value));
}

void DisplayController::toggleBacklight()
{
    if (backlightOn_) {
        savedBrightness_ = std::max(currentBrightness_, 1);
        currentBrightness_ = 0;
        backlightOn_ = false;
        sendBrightness(0);
        if (onBrightnessChanged) onBrightnessChanged(0);
        if (onBacklightChanged) onBacklightChanged(false);
        controllerLine(LogLevel::info, "[DisplayController] Backlight OFF");
        return;
    }
    currentBrightness_ = savedBrightness_;
    backlightOn_ = true;
    sendBrightness(currentBrightness_);
    if (onBrightnessChanged) onBrightnessChanged(currentBrightness_);
    if (onBacklightChanged) onBacklightChanged(true);
    controllerLine(LogLevel::info, fmt::format("[DisplayController] Backlight ON -> {}/255", currentBrightness_));
}

} // namespace qb
