// SessionSetup: what one DeviceSession is for, fixed at its construction —
// which kind of peer it serves, the device record, its frame port, display
// and pixel format, where its servers listen and which input port it holds.
//
//   usbDevice    a device on USB: reached through adb reverse tunnels, so its
//                servers listen on loopback
//   lanDevice    a device adb reaches over the network (Wi-Fi mode): its
//                servers listen on every interface, for its address only
//   browserPage  a tablet page in a browser (transport/TabletBridge.h): no
//                adb at all; its servers listen on loopback, where the page's
//                bridge reaches them
//
// A page's serial ("page-<id>-<format>") names it in the status and the
// logs; what the session is comes from `kind`, never from its serial.
// Pure value; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/DisplayResolution.h"
#include "config/Modes.h"
#include "config/Ports.h"
#include "device/ADBBridge.h"
#include "transport/ListenSocket.h"

namespace qb {

enum class SessionKind { usbDevice, lanDevice, browserPage };

struct SessionSetup {
    SessionKind kind = SessionKind::usbDevice;
    ConnectedDevice device;
    // The frame server's port (0: any free one).
    std::uint16_t port = 0;
    DisplayResolution resolution;
    DisplayMode displayMode = DisplayMode::mirror;
    PixelFormat pixelFormat = PixelFormat::greyscale;
    // Where the frame and input servers listen; empty: the kind's address.
    std::string bindAddress;
    // The input server's port: INPUT_PORT for a device (its input tunnel
    // points there); 0 for any free one (a page's own, tests).
    std::uint16_t inputPort = INPUT_PORT;

    // Only a browser page's session runs without adb.
    bool usesADB() const { return kind != SessionKind::browserPage; }
    bool isPage() const { return kind == SessionKind::browserPage; }
    std::string listenAddress() const
    {
        if (!bindAddress.empty()) return bindAddress;
        return std::string(kind == SessionKind::lanDevice ? ALL_INTERFACES_ADDRESS : LOOPBACK_ADDRESS);
    }
};

} // namespace qb
