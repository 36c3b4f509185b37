// The engine's settings: each change is published, stored, and has its live
// effect (core/EngineSettings.h names it); and the desktop's font smoothing.
#include "core/MirrorEngine.h"

#include <algorithm>

#include <fmt/format.h>

#include "diagnostics/EventLog.h"
#include "diagnostics/Log.h"
#include "runtime/Background.h"
#include "runtime/OwnedTask.h"

namespace qb {

template <class T, class Owner>
void MirrorEngine::changeSetting(T Owner::*field, std::type_identity_t<T> value, EngineProperty property)
{
    publish(field, std::move(value), property);
    settingChanged(property);
}

void MirrorEngine::setContrastAmount(double value)
{
    changeSetting(&EngineState::contrastAmount, value, EngineProperty::contrastAmount);
}

void MirrorEngine::setGammaAmount(double value)
{
    changeSetting(&EngineState::gammaAmount, value, EngineProperty::gammaAmount);
}

void MirrorEngine::setDisplayProfile(DisplayProfile profile)
{
    changeSetting(&EngineState::displayProfile, profile, EngineProperty::displayProfile);
}

void MirrorEngine::setResolution(DisplayResolution resolution)
{
    if (resolution == state_.resolution) return;
    // Two presets of one size differ in their pixel density: the line says
    // which ("1600x1200@2x → 1600x1200"), never a change to the same thing.
    const bool sameSize = resolution.rawValue() == state_.resolution.rawValue();
    const std::string from = sameSize ? state_.resolution.id() : state_.resolution.rawValue();
    const std::string to = sameSize ? resolution.id() : resolution.rawValue();
    logInfo("Engine", "resolution changed: " + from + " → " + to);
    EventLog::shared().record(MirrorEvent::resolutionChanged(from, to));
    changeSetting(&EngineState::resolution, std::move(resolution), EngineProperty::resolution);
}

void MirrorEngine::setNonDC1Mode(std::string mode)
{
    if (mode == state_.nonDC1Mode) return;
    logInfo("Engine", "nonDC1Mode changed: " + state_.nonDC1Mode + " → " + mode);
    changeSetting(&EngineState::nonDC1Mode, std::move(mode), EngineProperty::nonDC1Mode);
}

void MirrorEngine::setDisplayMode(DisplayMode mode)
{
    const DisplayMode old = state_.displayMode;
    changeSetting(&EngineState::displayMode, mode, EngineProperty::displayMode);
    if (old == mode) return;
    EventLog::shared().record(MirrorEvent::modeChanged(std::string(rawValue(old)), std::string(rawValue(mode))));
    if (old == DisplayMode::mirror && mode == DisplayMode::extended) {
        environment_.hostDimming->cancelAndRestore("[MirrorEngine:Host] Brightness restored — left mirror mode");
    }
}

void MirrorEngine::setAutoMirrorEnabled(bool enabled)
{
    changeSetting(&EngineState::autoMirrorEnabled, enabled, EngineProperty::autoMirrorEnabled);
}

void MirrorEngine::setAutoDimHost(bool enabled)
{
    changeSetting(&EngineState::autoDimHost, enabled, EngineProperty::autoDimHost);
}

void MirrorEngine::setAutoRefreshEnabled(bool enabled)
{
    changeSetting(&EngineState::autoRefreshEnabled, enabled, EngineProperty::autoRefreshEnabled);
}

void MirrorEngine::setConnectionMode(ConnectionMode mode)
{
    changeSetting(&EngineState::connectionMode, mode, EngineProperty::connectionMode);
}

void MirrorEngine::setClamshellModeEnabled(bool enabled)
{
    changeSetting(&EngineState::clamshellModeEnabled, enabled, EngineProperty::clamshellModeEnabled);
}

// The live effect of a changed setting (core/EngineSettings.h), after it
// was stored.
void MirrorEngine::settingChanged(EngineProperty property)
{
    if (environment_.settings) environment_.settings->store(state_, property);
    const EngineSetting* setting = engineSetting(property);
    if (setting == nullptr) return;
    const bool running = state_.status.is(MirrorStatus::Kind::running);
    switch (setting->effect) {
    case SettingEffect::toneCurve:
        for (const auto& session : sessions_) {
            if (!session->capture()) continue;
            if (property == EngineProperty::contrastAmount) session->capture()->setContrastAmount(state_.contrastAmount);
            if (property == EngineProperty::gammaAmount) session->capture()->setGammaAmount(state_.gammaAmount);
        }
        if (!applyingProfile_ && state_.displayProfile != DisplayProfile::custom) setDisplayProfile(DisplayProfile::custom);
        break;
    case SettingEffect::profile:
        if (state_.displayProfile == DisplayProfile::custom) break;
        applyingProfile_ = true;
        setContrastAmount(contrast(state_.displayProfile));
        setGammaAmount(gamma(state_.displayProfile));
        applyingProfile_ = false;
        break;
    case SettingEffect::restart:
        if (running) restart(); // a new size needs a new virtual display and capture
        break;
    case SettingEffect::restartNonDC1:
        if (running && std::any_of(sessions_.begin(), sessions_.end(),
                [](const auto& s) { return s->device().deviceFamily() != DeviceFamily::daylightDC1; })) {
            restart();
        }
        break;
    case SettingEffect::networkServices:
        if (!isActivated_) break;
        if (state_.connectionMode == ConnectionMode::wifi) {
            environment_.networkServices->start(environment_.ports.stream);
        } else {
            environment_.networkServices->stop();
        }
        // The servers listen where the mode says: a running mirror starts
        // again on the new address; otherwise the page moves there now.
        if (running) {
            restart();
        } else if (preview_.running() && preview_.bindAddress() != previewAddress()) {
            lifecycle_->tasks().spawn(ownedTask(weak_from_this(), &MirrorEngine::rebindPreview), "rebind preview");
        }
        break;
    case SettingEffect::sleep:
        if (state_.clamshellModeEnabled && running) environment_.sleep->activate();
        if (!state_.clamshellModeEnabled) environment_.sleep->deactivate();
        break;
    case SettingEffect::tabletPages: pages_->setAutoRefresh(state_.autoRefreshEnabled); break;
    case SettingEffect::displayMode: // its setter knows the old mode
    case SettingEffect::none: break;
    }
}

void MirrorEngine::applyOutsideSettings()
{
    if (!environment_.settings || !environment_.settings->changedOutside()) return;
    const auto stored = environment_.settings->load();
    if (!stored) return;
    const EngineSettingsValues& v = *stored;
    logInfo("Engine", "Settings changed outside the daemon — applying them");
    if (!(v.resolution == state_.resolution)) setResolution(v.resolution);
    if (v.nonDC1Mode != state_.nonDC1Mode) setNonDC1Mode(v.nonDC1Mode);
    if (v.displayMode != state_.displayMode) setDisplayMode(v.displayMode);
    if (v.displayProfile != state_.displayProfile) setDisplayProfile(v.displayProfile);
    // A named profile brought its own tone curve; a custom one keeps the stored values.
    if (v.displayProfile == DisplayProfile::custom) {
        if (v.contrastAmount != state_.contrastAmount) setContrastAmount(v.contrastAmount);
        if (v.gammaAmount != state_.gammaAmount) setGammaAmount(v.gammaAmount);
    }
    if (v.autoMirrorEnabled != state_.autoMirrorEnabled) setAutoMirrorEnabled(v.autoMirrorEnabled);
    if (v.autoDimHost != state_.autoDimHost) setAutoDimHost(v.autoDimHost);
    if (v.autoRefreshEnabled != state_.autoRefreshEnabled) setAutoRefreshEnabled(v.autoRefreshEnabled);
    if (v.clamshellModeEnabled != state_.clamshellModeEnabled) setClamshellModeEnabled(v.clamshellModeEnabled);
    if (v.connectionMode != state_.connectionMode) setConnectionMode(v.connectionMode);
}

asio::awaitable<void> MirrorEngine::rebindPreview()
{
    co_await preview_.stop();
    // A start meanwhile opened it where it belongs.
    if (preview_.running()) co_return;
    if (const auto failure = openPreview()) {
        logWarn("Engine", "Preview and control page not served: " + *failure);
    } else {
        logInfo("Engine", "Preview and control page now on " + previewAddress());
    }
}

void MirrorEngine::setFontSmoothing(bool enabled)
{
    ++fontSmoothingChanges_;
    lifecycle_->tasks().spawn(ownedTask(weak_from_this(), &MirrorEngine::changeFontSmoothing, enabled),
        "font smoothing");
}

// The desktop's settings call may block (a settings daemon, a tool): it runs
// off the main loop, and the flag follows once it is done.
asio::awaitable<void> MirrorEngine::changeFontSmoothing(bool enabled)
{
    const std::function<bool()> change = [fonts = environment_.fontSmoothing, enabled] { return fonts->set(enabled); };
    const bool changed = co_await offMainLoop<bool>(change);
    --fontSmoothingChanges_;
    if (!changed) {
        engineLine(fmt::format("[MirrorEngine] Failed to {} font smoothing: the desktop settings tool could not be run",
            enabled ? "enable" : "disable"));
        co_return;
    }
    publish(&EngineState::fontSmoothingDisabled, !enabled, EngineProperty::fontSmoothingDisabled);
    engineLine(fmt::format("[MirrorEngine] Font smoothing {}", enabled ? "enabled" : "disabled"));
}

} // namespace qb
