// Each event a user should hear of gives one desktop notification, and
// nothing else does.
#include <gtest/gtest.h>

#include "cli/EventNotices.h"

namespace qb::cli {
namespace {

TEST(EventNoticesTest, OneNoticePerEventAndNoneForTheRest)
{
    EventNotices notices;
    EngineState state;
    const auto said = [&](EngineProperty property) {
        std::vector<std::string> summaries;
        for (const auto& notice : notices.update(state, property)) summaries.push_back(notice.summary);
        return summaries;
    };
    using Said = std::vector<std::string>;

    // A tablet asks to be authorised: once, however often the list is published.
    state.unauthorizedDeviceSerials = {"UNAUTH-1"};
    EXPECT_EQ(said(EngineProperty::unauthorizedDeviceSerials), Said{"Tablet needs authorising"});
    EXPECT_EQ(said(EngineProperty::unauthorizedDeviceSerials), Said{});
    state.unauthorizedDeviceSerials = {};
    EXPECT_EQ(said(EngineProperty::unauthorizedDeviceSerials), Said{});
    state.unauthorizedDeviceSerials = {"UNAUTH-1"}; // unplugged and asking again
    EXPECT_EQ(said(EngineProperty::unauthorizedDeviceSerials), Said{"Tablet needs authorising"});

    // A start, a repeated publication, a stop; starting and waiting say nothing.
    for (auto status : {MirrorStatus::waitingForDevice(), MirrorStatus::starting()}) {
        state.status = status;
        EXPECT_EQ(said(EngineProperty::status), Said{});
    }
    state.status = MirrorStatus::running();
    EXPECT_EQ(said(EngineProperty::status), Said{"Mirroring started"});
    EXPECT_EQ(said(EngineProperty::status), Said{});
    EXPECT_EQ(said(EngineProperty::stats), Said{});
    state.status = MirrorStatus::stopping();
    EXPECT_EQ(said(EngineProperty::status), Said{});
    state.status = MirrorStatus::idle();
    EXPECT_EQ(said(EngineProperty::status), Said{"Mirroring stopped"});
    // Extended mode: the tablet is a screen of its own, not this one's.
    state.displayMode = DisplayMode::extended;
    state.status = MirrorStatus::running();
    const auto extended = notices.update(state, EngineProperty::status);
    ASSERT_EQ(extended.size(), 1U);
    EXPECT_EQ(extended[0].body, "The tablet is a screen of its own beside this computer's.");
    state.status = MirrorStatus::stopping();
    notices.update(state, EngineProperty::status);
    state.status = MirrorStatus::idle();
    EXPECT_EQ(said(EngineProperty::status), Said{"Tablet screen stopped"});
    state.displayMode = DisplayMode::mirror;

    // A failed start says its error once; another error is another event.
    state.status = MirrorStatus::error("Port 8888 (video stream) is in use");
    auto failed = notices.update(state, EngineProperty::status);
    ASSERT_EQ(failed.size(), 1U);
    EXPECT_EQ(failed[0], (Notice{"Mirroring could not start", "Port 8888 (video stream) is in use"}));
    EXPECT_EQ(said(EngineProperty::status), Said{});
    state.status = MirrorStatus::error("No device connected");
    EXPECT_EQ(said(EngineProperty::status), Said{"Mirroring could not start"});

    // The companion: too old once (its setup failure that follows is the
    // same event), missing once however both reports of it arrive, and any
    // other setup failure once per message.
    state.companionVersion = "1.8.2";
    state.companionUpdateFailed = true;
    EXPECT_EQ(said(EngineProperty::companionUpdateFailed), Said{"Companion app too old"});
    EXPECT_EQ(said(EngineProperty::companionUpdateFailed), Said{});
    state.lastADBFailureMessage = "Bundled companion APK is stale (v1.8.2).";
    state.lastADBFailureCause = SetupFailureCause::companionStale;
    EXPECT_EQ(said(EngineProperty::lastADBFailureMessage), Said{});
    state.apkInstallStatus = "missing on DC1-0001";
    state.companionMissing = true;
    EXPECT_EQ(said(EngineProperty::apkInstallStatus), Said{"Companion app missing"});
    state.lastADBFailureMessage = "Companion app failed to install on DC_1.";
    state.lastADBFailureCause = SetupFailureCause::companionNotInstalled;
    EXPECT_EQ(said(EngineProperty::lastADBFailureMessage), Said{});
    state.lastADBFailureMessage = "Reverse tunnel failed after 3 attempts.";
    state.lastADBFailureCause = SetupFailureCause::other;
    EXPECT_EQ(said(EngineProperty::lastADBFailureMessage), Said{"Tablet not ready"});
    EXPECT_EQ(said(EngineProperty::lastADBFailureMessage), Said{});
    state.lastADBFailureMessage.reset();
    EXPECT_EQ(said(EngineProperty::lastADBFailureMessage), Said{});
    state.apkInstallStatus = "";
    state.companionMissing = false;
    said(EngineProperty::apkInstallStatus);
    state.lastADBFailureMessage = "Companion app failed to install on DC_1.";
    state.lastADBFailureCause = SetupFailureCause::companionNotInstalled;
    EXPECT_EQ(said(EngineProperty::lastADBFailureMessage), Said{"Companion app missing"});
}

} // namespace
} // namespace qb::cli
