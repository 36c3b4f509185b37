// The command interpreter against a fake engine: replies and the calls each
// command makes.
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "control/ControlCommands.h"
#include "control/ControlRequest.h"
#include "diagnostics/RingLogger.h"

namespace qb {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class FakeTarget : public ControlTarget {
public:
    ControlState current;
    std::vector<std::string> calls;

    ControlState state() const override { return current; }
    void setBrightness(int v) override { calls.push_back("brightness " + std::to_string(v)); }
    void setWarmth(int v) override { calls.push_back("warmth " + std::to_string(v)); }
    void toggleBacklight() override
    {
        current.backlightOn = !current.backlightOn;
        calls.push_back("toggle");
    }
    void setResolution(const DisplayResolution& r) override
    {
        current.resolution = r;
        calls.push_back("resolution " + r.id());
    }
    void setNonDC1Mode(const std::string& m) override
    {
        current.nonDC1Mode = m;
        calls.push_back("mode " + m);
    }
    void setContrastAmount(double v) override { calls.push_back(fmt::format("contrast {}", v)); }
    void setGammaAmount(double v) override { calls.push_back(fmt::format("gamma {}", v)); }
    void setDisplayProfile(DisplayProfile p) override { calls.push_back("profile " + std::string(rawValue(p))); }
    void setConnectionMode(ConnectionMode m) override { calls.push_back("connection " + std::string(rawValue(m))); }
    void setAutoMirrorEnabled(bool on) override { calls.push_back(on ? "automirror on" : "automirror off"); }
    void setAutoDimHost(bool on) override { calls.push_back(on ? "autodim on" : "autodim off"); }
    void setAutoRefreshEnabled(bool on) override { calls.push_back(on ? "autorefresh on" : "autorefresh off"); }
    void setDisplayMode(DisplayMode m) override
    {
        current.displayMode = m;
        calls.push_back("display " + std::string(rawValue(m)));
    }
    void setClamshellModeEnabled(bool on) override { calls.push_back(on ? "clamshell on" : "clamshell off"); }
    void setFontSmoothing(bool on) override { calls.push_back(on ? "smoothing on" : "smoothing off"); }
    bool start() override
    {
        calls.push_back("start");
        return startAccepted;
    }
    bool startAccepted = true;
    void stop() override { calls.push_back("stop"); }
    void restart() override { calls.push_back("restart"); }
    void reconnect() override { calls.push_back("reconnect"); }
    void openTabletPages() override { calls.push_back("openTabletPages"); }
    TabletPairingOffer offerTabletPairing() override { return {"012345", "192.0.2.1", 5}; }
    bool forgetTabletPages() override { return true; }
    std::string report() override { return "REPORT BODY"; }

    std::string ask(std::string_view request) { return handleControlCommand(decodeControlRequest(request), *this); }
};

TEST(ControlCommands, ByteValuesAndBacklight)
{
    FakeTarget t;
    t.current.brightness = 42;
    EXPECT_EQ(t.ask("BRIGHTNESS 300"), "OK 255");
    EXPECT_EQ(t.ask("brightness -5"), "OK 0");
    EXPECT_EQ(t.ask("Brightness +7\n"), "OK 7");
    EXPECT_EQ(t.ask("BRIGHTNESS 99999999999999999999999"), "OK 255");
    EXPECT_EQ(t.ask("BRIGHTNESS abc"), "OK 42");
    EXPECT_EQ(t.ask("BRIGHTNESS"), "OK 42");
    EXPECT_EQ(t.ask("BRIGHTNESS  5"), "OK 42"); // the argument is " 5"
    EXPECT_EQ(t.ask("WARMTH 12"), "OK 12");
    EXPECT_THAT(t.calls, ElementsAre("brightness 255", "brightness 0", "brightness 7", "brightness 255", "warmth 12"));

    t.calls.clear();
    EXPECT_EQ(t.ask("BACKLIGHT on"), "OK on"); // already on: no toggle
    EXPECT_EQ(t.ask("BACKLIGHT OFF"), "OK off");
    EXPECT_EQ(t.ask("BACKLIGHT toggle"), "OK on");
    EXPECT_EQ(t.ask("BACKLIGHT sideways"), "OK on");
    EXPECT_THAT(t.calls, ElementsAre("toggle", "toggle"));
}

TEST(ControlCommands, LifecycleCommandsFollowTheStatus)
{
    FakeTarget t;
    EXPECT_EQ(t.ask("START"), "ERR no device connected");
    EXPECT_EQ(t.ask("TABLET PAIR"), "ERR no pairing over USB");
    t.current.connectionMode = ConnectionMode::wifi;
    EXPECT_EQ(t.ask("TABLET pair"), "OK\ncode=012345\naddress=192.0.2.1\nminutes=5");
    EXPECT_EQ(t.ask("START"), "OK starting");
    EXPECT_EQ(t.ask("STOP"), "OK already idle");
    EXPECT_EQ(t.ask("RESTART"), "ERR not running");
    EXPECT_EQ(t.ask("RECONNECT"), "ERR not running");
    EXPECT_EQ(t.ask("LATENCY"), "ERR not running");
    EXPECT_EQ(t.ask("TABLET BROWSER"), "ERR not running");
    EXPECT_EQ(t.ask("  status  "), "OK idle");

    t.current.status = MirrorStatus::starting();
    EXPECT_EQ(t.ask("START"), "OK already starting");
    EXPECT_EQ(t.ask("STOP"), "OK stopping"); // the start is cancelled
    t.current.status = MirrorStatus::running();
    EXPECT_EQ(t.ask("START"), "OK already running");
    EXPECT_EQ(t.ask("RESTART"), "OK restarting");
    EXPECT_EQ(t.ask("RECONNECT"), "OK reconnecting");
    EXPECT_EQ(t.ask("TABLET"), "ERR use TABLET BROWSER, PAIR or FORGET");
    EXPECT_EQ(t.ask("TABLET browser"), "OK opening the tablet page on the USB tablets");
    EXPECT_EQ(t.ask("STOP"), "OK stopping");
    t.current.status = MirrorStatus::error("port 8888 in use");
    EXPECT_EQ(t.ask("STATUS"), "OK error: port 8888 in use");
    // From an error a start is made again, or refused with the reason.
    EXPECT_EQ(t.ask("START"), "OK starting");
    t.startAccepted = false;
    t.current.status = MirrorStatus::error("Grant access to the X display");
    EXPECT_EQ(t.ask("START"), "ERR not started: Grant access to the X display");
    EXPECT_THAT(t.calls,
        ElementsAre("start", "stop", "restart", "reconnect", "openTabletPages", "stop", "start", "start"));
    EXPECT_EQ(t.ask("FLY away"), "ERR unknown command"); // (more of these: the request parser's test)
}

TEST(ControlCommands, SettingsCommands)
{
    FakeTarget t;
    t.current.contrastAmount = 1.25;
    EXPECT_EQ(t.ask("CONTRAST"), "OK 1.2");
    for (const char* bad : {"CONTRAST 2.5", "CONTRAST x", "CONTRAST nan", "CONTRAST 1,5", "CONTRAST 0x1"}) {
        EXPECT_EQ(t.ask(bad), "ERR value must be 1.0-2.0 (1.0=off, 1.5=moderate, 2.0=high)") << bad;
    }
    EXPECT_EQ(t.ask("CONTRAST 1.5"), "OK 1.5");
    EXPECT_EQ(t.ask("CONTRAST 2"), "OK 2.0");

    EXPECT_EQ(t.ask("DISPLAYMODE"), "OK mirror");
    EXPECT_EQ(t.ask("DISPLAYMODE sideways"), "ERR unknown mode (valid: mirror, extended)");
    EXPECT_EQ(t.ask("DISPLAYMODE EXTENDED"), "OK extended");
    EXPECT_EQ(t.ask("DISPLAYMODE extended"), "OK extended (no change)");
    t.current.status = MirrorStatus::running();
    EXPECT_EQ(t.ask("DISPLAYMODE mirror"), "OK mirror (restarting)");

    EXPECT_EQ(t.ask("FONTSMOOTHING"), "OK on");
    EXPECT_EQ(t.ask("FONTSMOOTHING OFF"), "OK off");
    EXPECT_EQ(t.ask("FONTSMOOTHING maybe"), "ERR use on or off");
    EXPECT_EQ(t.ask("CLAMSHELL enable"), "OK on");
    EXPECT_EQ(t.ask("CLAMSHELL yes"), "ERR use on or off");

    t.current.gammaAmount = 1.2;
    EXPECT_EQ(t.ask("GAMMA"), "OK 1.2");
    EXPECT_EQ(t.ask("GAMMA 1.5"), "OK 1.5");
    EXPECT_EQ(t.ask("GAMMA 3"), "ERR value must be 0.5-2.5 (1.0=off, above 1 lightens mid-tones)");
    EXPECT_EQ(t.ask("PROFILE"), "OK crisp-paper");
    EXPECT_EQ(t.ask("PROFILE Balanced"), "OK balanced");
    EXPECT_EQ(t.ask("PROFILE crisp paper"), "OK crisp-paper");
    EXPECT_EQ(t.ask("PROFILE glossy"), "ERR unknown profile (valid: crisp-paper, balanced, custom)");
    EXPECT_EQ(t.ask("CONNECTION"), "OK usb");
    EXPECT_EQ(t.ask("CONNECTION WiFi"), "OK wifi (restarting)"); // the servers move to the LAN
    t.current.connectionMode = ConnectionMode::wifi;
    EXPECT_EQ(t.ask("CONNECTION wifi"), "OK wifi (no change)");
    t.current.status = MirrorStatus::waitingForDevice();
    EXPECT_EQ(t.ask("CONNECTION usb"), "OK usb (servers now listen on this computer only)");
    EXPECT_EQ(t.ask("CONNECTION bluetooth"), "ERR unknown connection (valid: usb, wifi)");
    t.current.autoMirrorEnabled = false;
    EXPECT_EQ(t.ask("AUTOMIRROR"), "OK off");
    EXPECT_EQ(t.ask("AUTOMIRROR ON"), "OK on");
    EXPECT_EQ(t.ask("AUTODIM off"), "OK off");
    EXPECT_THAT(t.calls, ElementsAre("contrast 1.5", "contrast 2", "display extended", "display mirror", "restart",
                             "smoothing off", "clamshell on", "gamma 1.5", "profile Balanced", "profile Crisp Paper",
                             "connection wifi", "connection usb", "automirror on", "autodim off"));
}

// A name applies to the tablets it is for: DC-1 presets to a DC-1, the
// other tablets' modes to those; never a silent "OK" that changes nothing.
TEST(ControlCommands, ResolutionFollowsTheTabletsMirrored)
{
    FakeTarget t;
    const std::string dc1Names = "cozy, comfortable, balanced, sharp, portrait-cozy, portrait-comfortable, "
                                 "portrait-balanced, portrait-sharp";
    const std::string otherNames = "landscape-cozy, landscape-sharp, portrait-cozy, portrait-sharp";
    // Nothing mirrored: kept for whichever tablet comes.
    EXPECT_EQ(t.ask("RESOLUTION"), "OK cozy");
    EXPECT_EQ(t.ask("RESOLUTION 1600x1200"), "OK cozy (no change)"); // the first preset of that size
    EXPECT_EQ(t.ask("RESOLUTION Portrait-Comfortable"), "OK portrait-comfortable");
    EXPECT_EQ(t.ask("RESOLUTION portrait-sharp"), "OK portrait-sharp"); // both the DC-1 preset and the mode
    EXPECT_EQ(t.ask("RESOLUTION Landscape-Sharp"), "OK landscape-sharp");
    EXPECT_EQ(t.ask("RESOLUTION 1280X960"), "ERR unknown resolution (valid: " + dc1Names + ", " + otherNames + ")");
    EXPECT_THAT(t.calls, ElementsAre("resolution 768x1024", "resolution 1200x1600", "mode portrait-sharp",
                             "mode landscape-sharp"));

    // A DC-1 mirrored: "portrait-cozy" is its preset, not the other tablets' mode.
    t.calls.clear();
    ControlSessionInfo dc1;
    dc1.model = "DC_1";
    dc1.resolution = DisplayResolution::portraitSharp();
    t.current.resolution = DisplayResolution::portraitSharp();
    t.current.sessions = {dc1};
    t.current.status = MirrorStatus::running();
    EXPECT_EQ(t.ask("RESOLUTION"), "OK portrait-sharp (1200x1600)");
    EXPECT_EQ(t.ask("RESOLUTION portrait-cozy"), "OK portrait-cozy (restarting)");
    EXPECT_EQ(t.ask("RESOLUTION landscape-cozy"), "ERR landscape-cozy is for tablets other than the DC-1; the DC-1 "
                                                  "takes " + dc1Names);
    EXPECT_THAT(t.calls, ElementsAre("resolution 1200x1600@2x", "restart"));

    // Another tablet: its modes only.
    t.calls.clear();
    ControlSessionInfo tablet;
    tablet.model = "Pixel_Tablet";
    tablet.resolution = DisplayResolution::cozy(2560, 1600);
    t.current.sessions = {tablet};
    t.current.nonDC1Mode = "landscape-sharp";
    EXPECT_EQ(t.ask("RESOLUTION"), "OK landscape-sharp (" + tablet.resolution.rawValue() + ")");
    EXPECT_EQ(t.ask("RESOLUTION balanced"), "ERR balanced is a DC-1 resolution; this tablet takes " + otherNames);
    EXPECT_EQ(t.ask("RESOLUTION landscape-sharp"), "OK landscape-sharp (no change)");
    EXPECT_EQ(t.ask("RESOLUTION portrait-cozy"), "OK portrait-cozy (restarting)");
    EXPECT_THAT(t.calls, ElementsAre("mode portrait-cozy", "restart"));
    EXPECT_THAT(t.ask("HEALTH"), HasSubstr("\nresolution=portrait-cozy (" + tablet.resolution.rawValue() + ")\n"));

    // A cozy display the desktop could not scale is answered as what the tablet gets.
    dc1.resolution = DisplayResolution::cozy();
    dc1.hiDPIActive = false;
    t.current.sessions = {dc1};
    EXPECT_EQ(t.ask("RESOLUTION"),
        "OK cozy (1600x1200; this desktop cannot scale it, so the tablet gets sharp: 1600x1200 at 1x)");
    tablet.hiDPIActive = false;
    t.current.sessions = {tablet};
    t.current.nonDC1Mode = "portrait-cozy";
    EXPECT_THAT(t.ask("RESOLUTION"), HasSubstr("so the tablet gets portrait-sharp: "));
}

TEST(ControlCommands, DiagnosticsReplies)
{
    FakeTarget t;
    t.current.status = MirrorStatus::running();
    t.current.stats.fps = 29.96;
    t.current.stats.rttMs = 12.44;
    t.current.stats.totalFrames = 1234;
    ControlSessionInfo session;
    session.hasCapture = true;
    session.captureFrames = 77;
    t.current.sessions = {session};
    t.current.powerState = {{"lid_closed", "no"}};

    EXPECT_EQ(t.ask("LATENCY"), "OK\nfps=30.0\ngrey_ms=0.0\ncompress_ms=0.0\njitter_ms=0.0\nrtt_avg_ms=12.4\n"
                                "rtt_p95_ms=0.0\nclients=0\ntotal_frames=1234\nskipped_frames=0");

    // (The rest of the health lines: the end-to-end daemon test.)
    EXPECT_THAT(t.ask("HEALTH"), Not(HasSubstr("---system---")));
    const std::string verbose = t.ask("HEALTH Verbose");
    EXPECT_THAT(verbose, HasSubstr("\nsession[0].capture_active=yes\nsession[0].input_server=stopped\n"
                                   "session[0].capture_frames=77\n"));
    EXPECT_THAT(verbose, HasSubstr("\ninhibit_pid=0\ninhibit_running=no\nlogind.lid_closed=no"));

    EXPECT_EQ(t.ask("REPORT"), "OK\nREPORT BODY");
}

TEST(ControlCommands, LogsFilter)
{
    RingLogger::shared().clear();
    FakeTarget t;
    EXPECT_EQ(t.ask("LOGS"), "OK\n(no log entries)");
    RingLogger::shared().log(LogLevel::info, "ADB", "device listed");
    RingLogger::shared().log(LogLevel::error, "ADB", "tunnel failed");
    RingLogger::shared().log(LogLevel::error, "Engine", "start failed");
    const std::string adbErrors = t.ask("LOGS ADB error");
    EXPECT_THAT(adbErrors, HasSubstr("ADB: tunnel failed"));
    EXPECT_THAT(adbErrors, Not(HasSubstr("device listed")));
    EXPECT_THAT(adbErrors, Not(HasSubstr("start failed")));
    EXPECT_THAT(t.ask("LOGS all"), HasSubstr("device listed"));
    RingLogger::shared().clear();

    EXPECT_FALSE(parseLogFilter(std::string("ALL")).lastSeconds);
    const auto filter = parseLogFilter(std::string("WARN Engine ADB  "));
    EXPECT_EQ(filter.minLevel, "warn");
    EXPECT_EQ(filter.subsystem, "ADB");
    EXPECT_EQ(filter.lastSeconds, 60.0);
}

} // namespace
} // namespace qb
