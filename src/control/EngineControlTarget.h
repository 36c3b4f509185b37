// The control socket's view of the real engine: ControlTarget over a
// MirrorEngine, the facts of the support report, the handler the socket
// server calls for each request, and the engine's ControlServer that
// serves them.
//
// Main loop only; the engine is held weakly (a request arriving while the
// engine goes away is answered "ERR not running").
#pragma once

#include <memory>
#include <string>

#include "control/ControlSocket.h"
#include "control/ControlTarget.h"
#include "core/MirrorEngine.h"
#include "diagnostics/HealthReport.h"

namespace qb {

class EngineControlTarget : public SettingsChangingTarget {
public:
    explicit EngineControlTarget(std::weak_ptr<MirrorEngine> engine) : engine_(std::move(engine)) {}

    ControlState state() const override;
    void setBrightness(int value) override;
    void setWarmth(int value) override;
    void toggleBacklight() override;
    void setFontSmoothing(bool enabled) override;
    bool start() override;
    void stop() override;
    void restart() override;
    void reconnect() override;
    void openTabletPages() override;
    TabletPairingOffer offerTabletPairing() override;
    bool forgetTabletPages() override;
    // Uses the outside facts gathered by prepareReport() (adb devices,
    // tunnels, crash reports); without them those lines say nothing is known.
    std::string report() override;

    // The slow part of the report (adb, files): blocking, any thread.
    static HealthReportInput outsideFacts();
    void setPreparedFacts(HealthReportInput facts) { prepared_ = std::move(facts); }

protected:
    // The engine's setter of `changed`, whose change handling stores and
    // applies it (a new resolution restarts a running mirror).
    void changeSettings(const EngineSettingsValues& wanted, EngineProperty changed) override;

private:
    std::weak_ptr<MirrorEngine> engine_;
    HealthReportInput prepared_;
};

// The request handler for ControlSocket: the report's adb work runs off the
// main loop, everything else on it.
ControlSocket::Handler engineControlHandler(std::weak_ptr<MirrorEngine> engine);

// The control socket at `socketPath`, started by the engine's activation;
// a failure to listen is logged and the daemon runs on without it.
class EngineControlServer final : public ControlServer {
public:
    explicit EngineControlServer(std::string socketPath) : socketPath_(std::move(socketPath)) {}
    void start(const std::shared_ptr<MirrorEngine>& engine) override;
    // Decoded as a socket request is (a line, trimmed), then answered alike.
    asio::awaitable<std::string> answer(std::string request) override;
    void stop();

private:
    std::string socketPath_;
    std::weak_ptr<MirrorEngine> engine_;
    std::shared_ptr<ControlSocket> socket_;
};

} // namespace qb
