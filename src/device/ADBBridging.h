// The adb operations a DeviceSession uses, injected at its construction so a
// session can run against a scripted bridge in tests. Each member has the
// meaning, arguments and result of the ADBBridge operation of the same name
// (ADBBridge.h); like them, every call blocks until adb answers or is killed
// at its time limit, so sessions call them off the main loop.
//
// RealADBBridge is the production value: stateless, it forwards every call.
#pragma once

#include <optional>
#include <string>

#include "device/ADBBridge.h"

namespace qb {

class ADBBridging {
public:
    virtual ~ADBBridging() = default;

    virtual bool resetDisplaySizeOverride(const std::string& serial) = 0;
    // The package list holds the companion package.
    virtual bool isAppInstalled(const std::string& serial) = 0;
    // The companion's versionName, when the package dump names one.
    virtual std::optional<std::string> companionVersion(const std::string& serial) = 0;
    virtual bool installBundledAPK(const std::string& serial) = 0;
    virtual bool setupReverseTunnel(const std::string& serial, int devicePort, int hostPort) = 0;
    virtual bool removeReverseTunnel(const std::string& serial, int devicePort) = 0;
    virtual void launchApp(const std::string& serial, bool forceRestart, const std::optional<std::string>& wifiHost) = 0;
    virtual bool isCompanionRunning(const std::string& serial) = 0;
    virtual void sendStatus(const std::string& serial, const std::string& state) = 0;
    // Opens `url` in the device's browser (a VIEW intent); false when adb failed.
    virtual bool openPage(const std::string& serial, const std::string& url) = 0;
};

class RealADBBridge final : public ADBBridging {
public:
    bool resetDisplaySizeOverride(const std::string& serial) override
    {
        return ADBBridge::resetDisplaySizeOverride(serial);
    }
    bool isAppInstalled(const std::string& serial) override { return ADBBridge::isAppInstalled(serial); }
    bool openPage(const std::string& serial, const std::string& url) override { return ADBBridge::openPage(serial, url); }
    std::optional<std::string> companionVersion(const std::string& serial) override
    {
        return ADBBridge::queryCompanionVersion(serial);
    }
    bool installBundledAPK(const std::string& serial) override { return ADBBridge::installBundledAPK(serial); }
    bool setupReverseTunnel(const std::string& serial, int devicePort, int hostPort) override
    {
        return ADBBridge::setupReverseTunnel(serial, devicePort, hostPort);
    }
    bool removeReverseTunnel(const std::string& serial, int devicePort) override
    {
        return ADBBridge::removeReverseTunnel(serial, devicePort);
    }
    void launchApp(const std::string& serial, bool forceRestart, const std::optional<std::string>& wifiHost) override
    {
        ADBBridge::launchApp(serial, forceRestart, wifiHost);
    }
    bool isCompanionRunning(const std::string& serial) override { return ADBBridge::isCompanionRunning(serial); }
    void sendStatus(const std::string& serial, const std::string& state) override
    {
        ADBBridge::sendStatus(serial, state);
    }
};

} // namespace qb
