// Stand-ins the engine tests share: a capture backend that only answers the
// permission question, an adb on which everything succeeds, a device monitor
// that reports nothing by itself.
#pragma once

#include "core/MirrorEngine.h"

namespace qb::test {

class PermissionOnlyCapture final : public CaptureBackend {
public:
    bool permitted = true;
    int requests = 0;
    bool preflightScreenCaptureAccess() override { return permitted; }
    bool requestScreenCaptureAccess() override
    {
        ++requests;
        return permitted;
    }
    std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest&, CaptureFrameHandler) override
    {
        return nullptr;
    }
};

class LinkedADB final : public ADBBridging {
public:
    bool resetDisplaySizeOverride(const std::string&) override { return true; }
    bool isAppInstalled(const std::string&) override { return true; }
    std::optional<std::string> companionVersion(const std::string&) override { return "2.4.4"; }
    bool installBundledAPK(const std::string&) override { return true; }
    bool setupReverseTunnel(const std::string&, int, int) override { return true; }
    bool removeReverseTunnel(const std::string&, int) override { return true; }
    void launchApp(const std::string&, bool, const std::optional<std::string>&) override {}
    bool isCompanionRunning(const std::string&) override { return true; }
    void sendStatus(const std::string&, const std::string&) override {}
    bool openPage(const std::string&, const std::string&) override { return true; }
};

class QuietDeviceMonitor final : public DeviceMonitor {
public:
    void start(Events) override {}
    void stop() override {}
    void setMirroring(bool) override {}
};

inline ConnectedDevice device(std::string serial, std::string model, std::optional<int> width = std::nullopt,
    std::optional<int> height = std::nullopt)
{
    return {std::move(serial), std::move(model), width, height};
}

} // namespace qb::test
