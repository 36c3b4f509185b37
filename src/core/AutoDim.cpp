#include "core/AutoDim.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "runtime/DurableFile.h"

namespace qb {

namespace {

void hostLine(const std::string& line) { componentLog(LogLevel::info, "MirrorEngine", line); }

// The whole text as a finite number in 0...1, nothing otherwise.
std::optional<float> parseBrightness(const std::string& text)
{
    if (text.empty() || text.size() > 32) return std::nullopt;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+')) return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value)) return std::nullopt;
    // A value outside the panel's range is not something we wrote.
    if (value < 0.0f || value > 1.0f) return std::nullopt;
    return value;
}

} // namespace

std::vector<DimAction> computeDimActions(int previous, int current, bool autoDimHost, DisplayMode displayMode,
    const MirrorStatus& status)
{
    if (!autoDimHost || displayMode != DisplayMode::mirror || !status.is(MirrorStatus::Kind::running)) return {};
    if (previous <= 0 && current >= 1) return {DimAction::cancelRestoreTimer, DimAction::scheduleDim};
    if (previous >= 1 && current <= 0) return {DimAction::cancelDimTimer, DimAction::scheduleRestore};
    return {};
}

std::filesystem::path AutoDim::recoveryFileIn(const std::filesystem::path& home)
{
    return home / ".quillbright" / "saved_brightness";
}

AutoDim::AutoDim(Executor executor, Panel panel, std::function<Conditions()> conditions,
    std::filesystem::path recoveryFile, AutoDimTiming timing)
    : executor_(std::move(executor)), panel_(std::move(panel)), conditions_(std::move(conditions)),
      recoveryFile_(std::move(recoveryFile)), timing_(timing)
{
}

AutoDim::~AutoDim()
{
    *alive_ = false;
    if (dimTimer_) dimTimer_->cancel();
    if (restoreTimer_) restoreTimer_->cancel();
}

void AutoDim::clientCountChanged(int previous, int current, bool autoDimHost, DisplayMode displayMode,
    const MirrorStatus& status)
{
    for (const auto action : computeDimActions(previous, current, autoDimHost, displayMode, status)) {
        std::weak_ptr<bool> alive = alive_;
        switch (action) {
        case DimAction::scheduleDim:
            if (dimTimer_) dimTimer_->cancel();
            dimTimer_ = Timer::oneShot(executor_, timing_.dimDelay, [this, alive] {
                if (alive.lock()) dimStep();
            });
            break;
        case DimAction::scheduleRestore:
            if (restoreTimer_) restoreTimer_->cancel();
            restoreTimer_ = Timer::oneShot(executor_, timing_.restoreDelay, [this, alive] {
                if (alive.lock()) restoreStep();
            });
            break;
        case DimAction::cancelDimTimer:
            if (dimTimer_) dimTimer_->cancel();
            dimTimer_.reset();
            break;
        case DimAction::cancelRestoreTimer:
            if (restoreTimer_) restoreTimer_->cancel();
            restoreTimer_.reset();
            break;
        }
    }
}

void AutoDim::dimStep()
{
    const Conditions now = conditions_();
    if (now.clientCount <= 0 || !now.running || saved_) return;
    const auto current = panel_.read ? panel_.read() : std::nullopt;
    if (!current) return;
    // The record is what brings the panel back after a crash: without it on
    // disk, a crash while dimmed would leave the user's screen dark.
    std::string error;
    if (!writeFileDurably(recoveryFile_, fmt::format("{}", *current), 0644, &error)) { // shortest text that reads back the same float
        componentLog(LogLevel::warn, "MirrorEngine", fmt::format("[MirrorEngine:Host] Not dimming: cannot save the brightness to restore ({})", error));
        return;
    }
    saved_ = *current;
    panel_.write(0.0f);
    hostLine(fmt::format("[MirrorEngine:Host] Auto-dimmed (was {:.2f}) after 3s stable connection", *current));
}

void AutoDim::restoreStep()
{
    if (conditions_().clientCount != 0 || !saved_) return;
    const float value = putBack();
    hostLine(fmt::format("[MirrorEngine:Host] Brightness restored to {:.2f} after 5s grace", value));
}

void AutoDim::cancelAndRestore(const std::string& logLine)
{
    cancelTimers();
    if (!saved_) return;
    const float value = putBack();
    hostLine(fmt::format(fmt::runtime(logLine), value));
}

void AutoDim::restoreOnWake()
{
    cancelTimers();
    if (conditions_().clientCount != 0 || !saved_) return;
    const float value = putBack();
    hostLine(fmt::format("[MirrorEngine:Host] Brightness restored on wake (was {:.2f})", value));
}

void AutoDim::cancelTimers()
{
    if (dimTimer_) dimTimer_->cancel();
    if (restoreTimer_) restoreTimer_->cancel();
    dimTimer_.reset();
    restoreTimer_.reset();
}

float AutoDim::putBack()
{
    const float value = *saved_;
    panel_.write(value);
    saved_.reset();
    std::error_code ignored;
    std::filesystem::remove(recoveryFile_, ignored);
    return value;
}

void AutoDim::restoreAfterCrash()
{
    std::ifstream in(recoveryFile_, std::ios::binary);
    if (!in) return;
    std::string text(64, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    const auto value = parseBrightness(text);
    if (!value) return;
    panel_.write(*value);
    std::error_code ignored;
    std::filesystem::remove(recoveryFile_, ignored);
    hostLine(fmt::format("[MirrorEngine:Host] Restored brightness to {:.2f} from crash recovery", *value));
}

} // namespace qb
