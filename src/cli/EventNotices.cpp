#include "cli/EventNotices.h"

#include <algorithm>
#include <string_view>

namespace qb::cli {

namespace {

Notice companionMissing(const std::string& why)
{
    return {"Companion app missing",
        why + " The viewer (quillbright-viewer) or the page http://localhost:8891/ can show this screen instead."};
}

} // namespace

std::vector<Notice> EventNotices::update(const EngineState& state, EngineProperty property)
{
    std::vector<Notice> notices;
    switch (property) {
    case EngineProperty::status: {
        const auto kind = state.status.kind();
        if (kind == lastStatus_ && (!state.status.isError() || state.status.message() == lastError_)) break;
        // Extended mode gives the tablet a screen of its own beside this one.
        const bool extended = state.displayMode == DisplayMode::extended;
        if (kind == MirrorStatus::Kind::running) {
            notices.push_back(extended
                    ? Notice{"Tablet screen started", "The tablet is a screen of its own beside this computer's."}
                    : Notice{"Mirroring started", "The tablet shows this computer's screen."});
        } else if (kind == MirrorStatus::Kind::idle && lastStatus_ == MirrorStatus::Kind::stopping) {
            notices.push_back(extended ? Notice{"Tablet screen stopped", "The tablet's own screen is gone."}
                                       : Notice{"Mirroring stopped", "The tablet no longer shows this computer's screen."});
        } else if (kind == MirrorStatus::Kind::error) {
            notices.push_back({"Mirroring could not start", state.status.message()});
        }
        lastStatus_ = kind;
        lastError_ = state.status.isError() ? state.status.message() : std::string();
        break;
    }
    case EngineProperty::unauthorizedDeviceSerials:
        for (const auto& serial : state.unauthorizedDeviceSerials) {
            if (!askedToAuthorise_.insert(serial).second) continue;
            notices.push_back({"Tablet needs authorising",
                "Tap Allow on " + serial + " to let this computer use USB debugging."});
        }
        // A device that left and asks again is said again.
        std::erase_if(askedToAuthorise_, [&](const std::string& serial) {
            return std::find(state.unauthorizedDeviceSerials.begin(), state.unauthorizedDeviceSerials.end(), serial)
                == state.unauthorizedDeviceSerials.end();
        });
        break;
    case EngineProperty::apkInstallStatus:
        if (state.companionMissing && !companionMissingSaid_) {
            notices.push_back(companionMissing("The companion app is " + state.apkInstallStatus + "."));
        }
        companionMissingSaid_ = state.companionMissing;
        break;
    case EngineProperty::companionUpdateFailed:
        if (state.companionUpdateFailed && !staleCompanionSaid_) {
            notices.push_back({"Companion app too old",
                "The tablet's companion app is v" + state.companionVersion.value_or("?")
                    + " and could not be updated."});
        }
        staleCompanionSaid_ = state.companionUpdateFailed;
        break;
    case EngineProperty::lastADBFailureMessage:
        if (state.lastADBFailureMessage && *state.lastADBFailureMessage != lastFailure_) {
            const std::string& message = *state.lastADBFailureMessage;
            const SetupFailureCause cause = state.lastADBFailureCause;
            if (cause == SetupFailureCause::companionNotInstalled) {
                // The install's own status may have said so already: one event, one notice.
                if (!companionMissingSaid_) notices.push_back(companionMissing(message));
                companionMissingSaid_ = true;
            } else if (!(cause == SetupFailureCause::companionStale && staleCompanionSaid_)) {
                notices.push_back({"Tablet not ready", message});
            }
        }
        lastFailure_ = state.lastADBFailureMessage.value_or("");
        break;
    default:
        break;
    }
    return notices;
}

} // namespace qb::cli
