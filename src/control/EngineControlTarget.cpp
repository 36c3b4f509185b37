#include "control/EngineControlTarget.h"

#include <sys/utsname.h>

#include <fstream>

#include "control/ControlCommands.h"
#include "control/ControlRequest.h"
#include "device/ADBBridge.h"
#include "platform/UserFolders.h"
#include "session/DeviceSession.h"
#include "transport/TabletPairing.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/MetricsRing.h"
#include "diagnostics/ProcessInfo.h"
#include "diagnostics/RingLogger.h"
#include "runtime/Background.h"
#include "runtime/MainLoop.h"
#include "runtime/Process.h"
#include "runtime/SettingsStore.h"

namespace qb {

namespace {

std::string osVersion()
{
    std::ifstream release("/etc/os-release");
    for (std::string line; std::getline(release, line);) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        std::string value = line.substr(12);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        utsname names{};
        if (::uname(&names) == 0) value += std::string(" (Linux ") + names.release + ")";
        return value;
    }
    return "unknown";
}

// `adb reverse --list`, 5 s at most; empty on any failure.
std::string reverseTunnels()
{
    const auto adb = ADBBridge::resolvedADBPath();
    if (!adb) return {};
    ProcessOptions options;
    options.executable = *adb;
    options.arguments = {"reverse", "--list"};
    const auto result = runProcess(options, 5, "adb reverse --list");
    if (result.exitStatus != 0) return {};
    return result.standardOutput;
}

// While mirroring, clamshell mode is only on once logind holds the lock:
// the reply waits for logind's answer (bounded by its call limit), and a
// refusal turns the mode back off and says why.
asio::awaitable<std::string> keepAwakeOutcome(std::weak_ptr<MirrorEngine> weak)
{
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        auto engine = weak.lock();
        if (!engine) co_return "ERR not running";
        const KeepAwakeStatus status = engine->keepAwake();
        if (!status.requesting) {
            if (status.held || status.error.empty()) co_return "OK on";
            engine->setClamshellModeEnabled(false);
            co_return "ERR clamshell mode is off: logind refused the inhibitor (" + status.error + ")";
        }
        if (std::chrono::steady_clock::now() > deadline) co_return "ERR clamshell mode: logind did not answer";
        engine.reset();
        timer.expires_after(std::chrono::milliseconds(20));
        co_await timer.async_wait(asio::use_awaitable);
    }
}

// The desktop's settings change runs off the main loop: the reply waits
// for it, so that "OK off" means smoothing is off (and a later
// `FONTSMOOTHING` says so), and a refusal is an error.
asio::awaitable<std::string> fontSmoothingOutcome(std::weak_ptr<MirrorEngine> weak, bool wantedOn)
{
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        auto engine = weak.lock();
        if (!engine) co_return "ERR not running";
        if (!engine->fontSmoothingChanging()) {
            if (engine->state().fontSmoothingDisabled != wantedOn) co_return wantedOn ? "OK on" : "OK off";
            co_return "ERR font smoothing unchanged: the desktop settings could not be changed "
                      "(`quillbright logs error` says why)";
        }
        if (std::chrono::steady_clock::now() > deadline) co_return "ERR font smoothing: the desktop did not answer";
        engine.reset();
        timer.expires_after(std::chrono::milliseconds(20));
        co_await timer.async_wait(asio::use_awaitable);
    }
}

// GCC 12 inlines Asio's coroutine-frame allocator into this coroutine and
// then mistakes its matching operator delete for a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<std::string> answer(std::weak_ptr<MirrorEngine> engine, std::string text)
{
    EngineControlTarget target(engine);
    const auto parsed = parseControlRequest(text);
    const auto* request = std::get_if<ControlRequest>(&parsed);
    const auto is = [request](ControlVerb verb) { return request != nullptr && request->verb == verb; };
    if (is(ControlVerb::report)) {
        const std::function<HealthReportInput()> gather = [] { return EngineControlTarget::outsideFacts(); };
        HealthReportInput facts = co_await offMainLoop<HealthReportInput>(gather, "Control");
        target.setPreparedFacts(std::move(facts));
    }
    if (engine.expired()) co_return "ERR not running";
    if (request == nullptr) co_return std::get<ControlRefusal>(parsed).reply;
    std::string reply = answerControlRequest(*request, target);
    if (is(ControlVerb::clamshell) && reply == "OK on") reply = co_await keepAwakeOutcome(engine);
    const bool smoothingSet = is(ControlVerb::fontSmoothing) && request->hasArgument();
    if (smoothingSet && (reply == "OK on" || reply == "OK off")) {
        reply = co_await fontSmoothingOutcome(engine, reply == "OK on");
    }
    co_return reply;
}
#pragma GCC diagnostic pop

} // namespace

ControlState EngineControlTarget::state() const
{
    ControlState s;
    s.version = std::string(MirrorEngine::appVersion);
    const auto engine = engine_.lock();
    if (!engine) return s;
    const auto& e = *engine;
    static_cast<EngineState&>(s) = e.state();
    for (const auto& session : e.sessions()) {
        ControlSessionInfo info;
        info.model = session->device().model;
        info.serial = session->device().serial;
        info.port = session->port();
        info.resolution = session->resolution();
        info.pixelFormat = session->pixelFormat();
        if (const auto* display = session->displayManager()) {
            info.displayId = display->displayID();
            info.hiDPIActive = !info.resolution.isHiDPI || display->hiDPIActive();
        }
        info.fps = session->stats().fps;
        info.clients = session->stats().clientCount;
        info.adbConnected = session->adbConnected();
        if (const auto& capture = session->capture()) {
            info.hasCapture = true;
            info.captureFrames = session->stats().totalFrames;
            info.captureSkipped = capture->skippedFrames();
            info.captureStreamAlive = capture->isRunning();
        }
        info.inputServerRunning = session->inputServer() && session->inputServer()->running();
        if (session->inputServer()) info.pen = session->inputServer()->lastPen();
        s.sessions.push_back(std::move(info));
    }
    const KeepAwakeStatus keepAwake = e.keepAwake();
    s.keepAwakePid = keepAwake.holderPid;
    s.keepAwakeRunning = keepAwake.held;
    s.powerState = {{"inhibitor", keepAwake.held ? keepAwake.lock : "none"},
        {"inhibitor_error", keepAwake.error.empty() ? "none" : keepAwake.error},
        {"lid_closed", keepAwake.lidClosed ? (*keepAwake.lidClosed ? "yes" : "no") : "unknown"}};
    for (const auto& capability : e.platform()->capabilities()) {
        s.platform.emplace_back(capability.name, capability.provider);
    }
    return s;
}

void EngineControlTarget::setBrightness(int value)
{
    if (auto e = engine_.lock()) e->setBrightness(value);
}

void EngineControlTarget::setWarmth(int value)
{
    if (auto e = engine_.lock()) e->setWarmth(value);
}

void EngineControlTarget::toggleBacklight()
{
    if (auto e = engine_.lock()) e->toggleBacklight();
}

void EngineControlTarget::changeSettings(const EngineSettingsValues& wanted, EngineProperty changed)
{
    const auto e = engine_.lock();
    if (!e) return;
    switch (changed) {
    case EngineProperty::resolution: e->setResolution(wanted.resolution); break;
    case EngineProperty::nonDC1Mode: e->setNonDC1Mode(wanted.nonDC1Mode); break;
    case EngineProperty::contrastAmount: e->setContrastAmount(wanted.contrastAmount); break;
    case EngineProperty::gammaAmount: e->setGammaAmount(wanted.gammaAmount); break;
    case EngineProperty::displayProfile: e->setDisplayProfile(wanted.displayProfile); break;
    case EngineProperty::displayMode: e->setDisplayMode(wanted.displayMode); break;
    case EngineProperty::connectionMode: e->setConnectionMode(wanted.connectionMode); break;
    case EngineProperty::autoMirrorEnabled: e->setAutoMirrorEnabled(wanted.autoMirrorEnabled); break;
    case EngineProperty::autoDimHost: e->setAutoDimHost(wanted.autoDimHost); break;
    case EngineProperty::autoRefreshEnabled: e->setAutoRefreshEnabled(wanted.autoRefreshEnabled); break;
    case EngineProperty::clamshellModeEnabled: e->setClamshellModeEnabled(wanted.clamshellModeEnabled); break;
    default: break; // not a stored setting
    }
}

void EngineControlTarget::setFontSmoothing(bool enabled)
{
    if (auto e = engine_.lock()) e->setFontSmoothing(enabled);
}

bool EngineControlTarget::start()
{
    auto e = engine_.lock();
    if (!e) return false;
    if (e->state().status.isError()) return e->startAgain();
    return e->requestStart();
}

void EngineControlTarget::stop()
{
    if (auto e = engine_.lock()) e->stop();
}

void EngineControlTarget::restart()
{
    if (auto e = engine_.lock()) e->restart();
}

void EngineControlTarget::reconnect()
{
    if (auto e = engine_.lock()) e->reconnect();
}

void EngineControlTarget::openTabletPages()
{
    if (auto e = engine_.lock()) e->openTabletPages();
}

ControlTarget::TabletPairingOffer EngineControlTarget::offerTabletPairing()
{
    TabletPairingOffer offer;
    auto e = engine_.lock();
    if (!e) return offer;
    offer.code = e->issueTabletPairingCode();
    offer.address = DeviceSession::hostWiFiIP().value_or("");
    offer.minutes = static_cast<int>(TabletPairingTiming{}.codeLifetime.count() / 60);
    return offer;
}

bool EngineControlTarget::forgetTabletPages()
{
    auto e = engine_.lock();
    return e && e->forgetTabletPages();
}

HealthReportInput EngineControlTarget::outsideFacts()
{
    HealthReportInput facts;
    facts.adbAvailable = ADBBridge::isADBInstalled();
    if (facts.adbAvailable) {
        for (const auto& device : ADBBridge::connectedDevices()) {
            HealthReportInput::Device d;
            d.serial = device.serial;
            d.model = device.model;
            d.family = std::string(rawValue(device.deviceFamily()));
            if (device.nativeWidth && device.nativeHeight) d.native = std::make_pair(*device.nativeWidth, *device.nativeHeight);
            facts.devices.push_back(std::move(d));
        }
        // Asked of the device itself, so the answer holds while no session
        // runs (idle, waiting, before the first start).
        if (!facts.devices.empty()) facts.companionInstalled = ADBBridge::isAppInstalled(facts.devices.front().serial);
        facts.reverseTunnels = reverseTunnels();
    }
    facts.bundleIntegrity = std::string(BundleIntegrity::checkCurrentBundle().description());
    facts.osVersion = osVersion();
    facts.crashReports = crashReportText(UserFolders::current().crashFolder(), std::string(MirrorEngine::appVersion), wallNow());
    return facts;
}

std::string EngineControlTarget::report()
{
    HealthReportInput in = prepared_;
    const auto engine = engine_.lock();
    in.generated = wallNow();
    in.version = std::string(MirrorEngine::appVersion);
    in.uptime = processUptime();
    in.systemUptime = systemUptime();
    if (engine) {
        const auto& e = *engine;
        in.engine = e.state();
        in.sessionCount = e.sessions().size();
        in.companionCompatible = e.companionCompatible();
        for (const auto& capability : e.platform()->capabilities()) {
            in.platform.emplace_back(capability.name, capability.provider);
        }
        for (const auto& session : e.sessions()) {
            HealthReportInput::Session s;
            s.device = session->device().model;
            s.serial = session->device().serial;
            s.port = session->port();
            s.resolution = session->resolution().label;
            s.adb = session->adbConnected();
            s.clients = session->stats().clientCount;
            s.fps = session->stats().fps;
            s.companionVersion = session->companionVersion().value_or("unknown");
            in.sessions.push_back(std::move(s));
        }
    }
    if (in.devices.empty()) {
        in.companionInstalled.reset();
    } else if (in.engine.companionVersion) {
        in.companionInstalled = true; // a session read its version
    }
    auto& store = userSettings();
    in.setupCompleted = store.boolean("setupCompleted").value_or(false);
    in.savedResolution = store.string("resolution");
    in.savedConnectionMode = store.string("connectionMode");
    if (const auto memory = processMemoryInfo()) in.residentMB = memory->residentMB;
    return generateHealthReport(in, MetricsRing::shared(), EventLog::shared(), RingLogger::shared());
}

ControlSocket::Handler engineControlHandler(std::weak_ptr<MirrorEngine> engine)
{
    return [engine](std::string request) { return answer(engine, std::move(request)); };
}

void EngineControlServer::start(const std::shared_ptr<MirrorEngine>& engine)
{
    if (socket_) return;
    engine_ = engine;
    socket_ = ControlSocket::make(MainLoop::shared().executor(), socketPath_, engineControlHandler(engine));
    socket_->start();
}

asio::awaitable<std::string> EngineControlServer::answer(std::string request)
{
    return qb::answer(engine_, decodeControlRequest(request));
}

void EngineControlServer::stop()
{
    if (socket_) socket_->stop();
}

} // namespace qb
