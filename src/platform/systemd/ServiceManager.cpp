#include "platform/systemd/ServiceManager.h"

#include <cstdlib>
#include <cstring>

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>

namespace qb::ServiceManager {

bool notify(std::string_view state)
{
    if (!underServiceManager()) return false;
    const std::string text(state);
    return sd_notify(0, text.c_str()) > 0;
}

bool underServiceManager()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

std::optional<std::string> logindUnreachable()
{
    sd_bus* bus = nullptr;
    int result = sd_bus_open_system(&bus);
    if (result < 0) return std::string("cannot connect to the system bus: ") + std::strerror(-result);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    sd_bus_set_method_call_timeout(bus, 3'000'000);
    result = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
        "org.freedesktop.DBus.Peer", "Ping", &error, &reply, "");
    std::optional<std::string> problem;
    if (result < 0) {
        problem = std::string("org.freedesktop.login1 does not answer: ")
            + (error.message ? error.message : std::strerror(-result));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return problem;
}

} // namespace qb::ServiceManager
