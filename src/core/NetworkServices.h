// Wi-Fi mode: advertises the stream over DNS-SD and discovers companion
// devices on the local network, connecting adb to them. Main loop. No-op by
// default.
#pragma once

namespace qb {

class NetworkServices {
public:
    virtual ~NetworkServices() = default;
    virtual void start() {}
    virtual void stop() {}
};

} // namespace qb
