#include "platform/sim/SimHost.h"

#include <algorithm>
#include <cmath>
#include <fstream>

namespace qb::sim {

class SimLock final : public InhibitorLock {
public:
    SimLock(std::weak_ptr<SimHostPower> owner, int id) : owner_(std::move(owner)), id_(id) {}
    ~SimLock() override
    {
        if (auto owner = owner_.lock()) {
            std::lock_guard guard(owner->lock_);
            std::erase_if(owner->held_, [this](const auto& held) { return held.first == id_; });
        }
    }
    std::string describe() const override { return "sim lock: " + std::to_string(id_); }

private:
    std::weak_ptr<SimHostPower> owner_;
    int id_;
};

std::unique_ptr<InhibitorLock> SimHostPower::inhibit(const InhibitRequest& request, std::string* error)
{
    std::lock_guard guard(lock_);
    ++inhibitCalls_;
    if (!refusal_.empty()) {
        if (error) *error = refusal_;
        return nullptr;
    }
    const int id = nextId_++;
    held_.emplace_back(id, request);
    return std::make_unique<SimLock>(weak_from_this(), id);
}

std::optional<bool> SimHostPower::lidClosed()
{
    std::lock_guard guard(lock_);
    ++lidReads_;
    return lidClosed_;
}

void SimHostPower::setLidClosed(std::optional<bool> closed)
{
    std::lock_guard guard(lock_);
    lidClosed_ = closed;
}

void SimHostPower::watchSleep(std::function<void(bool sleeping)> changed)
{
    std::lock_guard guard(lock_);
    sleepChanged_ = std::move(changed);
}

void SimHostPower::announceSleep(bool sleeping)
{
    std::function<void(bool)> changed;
    {
        std::lock_guard guard(lock_);
        changed = sleepChanged_;
    }
    if (changed) changed(sleeping);
}

void SimHostPower::refuse(std::string error)
{
    std::lock_guard guard(lock_);
    refusal_ = std::move(error);
}

std::vector<InhibitRequest> SimHostPower::heldLocks() const
{
    std::lock_guard guard(lock_);
    std::vector<InhibitRequest> requests;
    for (const auto& held : held_) requests.push_back(held.second);
    return requests;
}

int SimHostPower::inhibitCalls() const
{
    std::lock_guard guard(lock_);
    return inhibitCalls_;
}

int SimHostPower::lidReads() const
{
    std::lock_guard guard(lock_);
    return lidReads_;
}

std::optional<float> SimBacklight::brightness()
{
    std::lock_guard guard(lock_);
    if (file_) {
        std::ifstream in(*file_);
        float stored = 0;
        if (in >> stored && std::isfinite(stored)) level_ = std::clamp(stored, 0.0F, 1.0F);
    }
    return level_;
}

bool SimBacklight::setBrightness(float value)
{
    std::lock_guard guard(lock_);
    if (!level_) return false;
    level_ = std::isnan(value) ? 0.0F : std::clamp(value, 0.0F, 1.0F);
    writes_.push_back(*level_);
    if (file_) {
        std::ofstream out(*file_, std::ios::trunc);
        out << *level_ << '\n';
        return static_cast<bool>(out.flush());
    }
    return true;
}

std::vector<float> SimBacklight::writes() const
{
    std::lock_guard guard(lock_);
    return writes_;
}

FontSettings::Reading SimFontSettings::antialiasing()
{
    std::lock_guard guard(lock_);
    if (!value_) return {.supported = false, .value = std::nullopt, .error = "No such schema"};
    return {.supported = true, .value = value_, .error = {}};
}

bool SimFontSettings::setAntialiasing(const std::string& value, std::string* error)
{
    std::lock_guard guard(lock_);
    if (!value_) {
        if (error) *error = "No such schema";
        return false;
    }
    value_ = value;
    return true;
}

std::optional<std::string> SimFontSettings::value() const
{
    std::lock_guard guard(lock_);
    return value_;
}

} // namespace qb::sim
