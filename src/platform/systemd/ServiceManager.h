// The systemd side of running as a user service: telling the service
// manager how the daemon is doing (sd_notify), and asking whether logind
// answers on the system bus (sd-bus). Both work without systemd: the
// notification is then simply not sent, and logind is reported unreachable
// with the reason.
//
// Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qb::ServiceManager {

// Sends `state` ("READY=1", "STOPPING=1", "STATUS=...", newline-separated)
// to the socket named by $NOTIFY_SOCKET. True when it was sent; false when
// the daemon does not run under a service manager or the send failed.
bool notify(std::string_view state);

// Whether the daemon was started with a notification socket.
bool underServiceManager();

// Nothing when org.freedesktop.login1 answers a ping on the system bus
// ($DBUS_SYSTEM_BUS_ADDRESS or the default socket) within a few seconds;
// otherwise why not.
std::optional<std::string> logindUnreachable();

} // namespace qb::ServiceManager
