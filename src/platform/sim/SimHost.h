// In-memory host power, backlight and font settings for tests and demos.
// Every member is thread-safe; the control members (setLidClosed, refuse,
// ...) are for the test.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/Backlight.h"
#include "platform/FontSettings.h"
#include "platform/HostPower.h"

namespace qb::sim {

class SimHostPower final : public HostPower, public std::enable_shared_from_this<SimHostPower> {
public:
    std::unique_ptr<InhibitorLock> inhibit(const InhibitRequest& request, std::string* error = nullptr) override;
    std::optional<bool> lidClosed() override;
    std::string provider() const override { return "sim"; }
    void watchSleep(std::function<void(bool sleeping)> changed) override;

    void setLidClosed(std::optional<bool> closed);
    // The system about to sleep (true) or woken (false), as logind tells it.
    void announceSleep(bool sleeping);
    // Later inhibit() calls fail with this error (empty: succeed again).
    void refuse(std::string error);
    // The requests of the locks held right now.
    std::vector<InhibitRequest> heldLocks() const;
    int inhibitCalls() const;
    int lidReads() const;

private:
    friend class SimLock;
    mutable std::mutex lock_;
    std::optional<bool> lidClosed_ = false;
    std::string refusal_;
    std::vector<std::pair<int, InhibitRequest>> held_;
    int nextId_ = 1;
    int inhibitCalls_ = 0;
    int lidReads_ = 0;
    std::function<void(bool)> sleepChanged_;
};

class SimBacklight final : public Backlight {
public:
    // Absent: no built-in panel.
    explicit SimBacklight(std::optional<float> level = 0.8F) : level_(level) {}
    // A panel whose level lives in `file` (one decimal number; 0.8 until
    // first written), so that another process can watch and set it: the
    // simulated desktop of a daemon under test.
    explicit SimBacklight(std::filesystem::path file) : level_(0.8F), file_(std::move(file)) {}
    std::optional<float> brightness() override;
    bool setBrightness(float value) override;
    std::string provider() const override { return "sim"; }
    std::vector<float> writes() const;

private:
    mutable std::mutex lock_;
    std::optional<float> level_;
    std::optional<std::filesystem::path> file_;
    std::vector<float> writes_;
};

class SimFontSettings final : public FontSettings {
public:
    // Absent: the desktop has no such setting.
    explicit SimFontSettings(std::optional<std::string> value = "grayscale") : value_(std::move(value)) {}
    Reading antialiasing() override;
    bool setAntialiasing(const std::string& value, std::string* error = nullptr) override;
    std::string name() const override { return "sim font-antialiasing"; }
    std::string provider() const override { return "sim"; }
    std::optional<std::string> value() const;

private:
    mutable std::mutex lock_;
    std::optional<std::string> value_;
};

} // namespace qb::sim
