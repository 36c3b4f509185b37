#include "platform/linux/LogindBus.h"

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

namespace qb {

namespace {

constexpr const char* LOGIND = "org.freedesktop.login1";
constexpr const char* MANAGER_PATH = "/org/freedesktop/login1";
constexpr const char* MANAGER = "org.freedesktop.login1.Manager";
constexpr const char* SESSION = "org.freedesktop.login1.Session";

std::string describe(const sd_bus_error& error, int result)
{
    if (error.name) {
        std::string text = error.name;
        if (error.message) text += std::string(": ") + error.message;
        return text;
    }
    return std::strerror(-result);
}

struct Message {
    sd_bus_message* message = nullptr;
    ~Message() { sd_bus_message_unref(message); }
};

struct Error {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&error); }
};

} // namespace

LogindBus::LogindBus(LogindOptions options) : options_(std::move(options)) {}

LogindBus::~LogindBus()
{
    // No flush: a bus that stopped reading must not hold up our exit.
    if (bus_) sd_bus_close_unref(bus_);
}

sd_bus* LogindBus::connectLocked(std::string* error)
{
    if (bus_) return bus_;
    std::string address;
    if (options_.busAddress) {
        address = *options_.busAddress;
    } else {
        address = "unix:path=/run/dbus/system_bus_socket";
    }
    sd_bus* bus = nullptr;
    int result = sd_bus_new(&bus);
    // The limit must be in place before the greeting goes out, or a bus that
    // never answers it would block the first call for sd-bus's default 25 s.
    if (result >= 0) result = sd_bus_set_method_call_timeout(bus, std::uint64_t(options_.callTimeout.count()) * 1000);
    if (result >= 0) result = sd_bus_set_address(bus, address.c_str());
    if (result >= 0) result = sd_bus_set_bus_client(bus, 1);
    if (result >= 0) result = sd_bus_negotiate_fds(bus, 1);
    if (result >= 0) result = sd_bus_start(bus);
    if (result < 0) {
        if (error) *error = "cannot connect to " + address + ": " + std::strerror(-result);
        sd_bus_unref(bus);
        return nullptr;
    }
    bus_ = bus;
    return bus_;
}

void LogindBus::dropIfClosedLocked()
{
    if (bus_ && sd_bus_is_open(bus_) <= 0) {
        sd_bus_unref(bus_);
        bus_ = nullptr;
    }
}

int LogindBus::inhibit(const std::string& what, const std::string& who, const std::string& why,
    const std::string& mode, std::string* error)
{
    std::lock_guard guard(lock_);
    sd_bus* bus = connectLocked(error);
    if (!bus) return -1;
    Message call;
    Message reply;
    Error failure;
    int result = sd_bus_message_new_method_call(bus, &call.message, LOGIND, MANAGER_PATH, MANAGER, "Inhibit");
    if (result >= 0) result = sd_bus_message_append(call.message, "ssss", what.c_str(), who.c_str(), why.c_str(), mode.c_str());
    if (result >= 0) result = sd_bus_call(bus, call.message, 0, &failure.error, &reply.message);
    int fd = -1;
    if (result >= 0) result = sd_bus_message_read(reply.message, "h", &fd);
    if (result < 0) {
        if (error) *error = describe(failure.error, result);
        dropIfClosedLocked();
        return -1;
    }
    // The descriptor belongs to the reply; keep a copy of our own.
    const int owned = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (owned < 0 && error) *error = std::strerror(errno);
    return owned;
}

std::optional<bool> LogindBus::lidClosed(std::string* error)
{
    std::lock_guard guard(lock_);
    sd_bus* bus = connectLocked(error);
    if (!bus) return std::nullopt;
    Error failure;
    int value = 0;
    const int result = sd_bus_get_property_trivial(bus, LOGIND, MANAGER_PATH, MANAGER, "LidClosed", &failure.error, 'b', &value);
    if (result < 0) {
        if (error) *error = describe(failure.error, result);
        dropIfClosedLocked();
        return std::nullopt;
    }
    return value != 0;
}

bool LogindBus::setBrightness(const std::string& subsystem, const std::string& name, std::uint32_t value,
    std::string* error)
{
    std::lock_guard guard(lock_);
    sd_bus* bus = connectLocked(error);
    if (!bus) return false;
    Error failure;
    Message reply;
    int result = sd_bus_call_method(bus, LOGIND, options_.sessionPath.c_str(), SESSION, "SetBrightness",
        &failure.error, &reply.message, "ssu", subsystem.c_str(), name.c_str(), value);
    if (result < 0 && sd_bus_error_has_name(&failure.error, "org.freedesktop.login1.NoSessionForPID")) {
        // Run as a user service we belong to no session; the user's
        // graphical session owns the panel.
        Error displayError;
        Message display;
        const char* path = nullptr;
        if (sd_bus_get_property(bus, LOGIND, "/org/freedesktop/login1/user/self", "org.freedesktop.login1.User",
                "Display", &displayError.error, &display.message, "(so)") >= 0
            && sd_bus_message_read(display.message, "(so)", nullptr, &path) >= 0 && path && std::strcmp(path, "/") != 0) {
            sd_bus_error_free(&failure.error);
            Message retry;
            result = sd_bus_call_method(bus, LOGIND, path, SESSION, "SetBrightness", &failure.error, &retry.message,
                "ssu", subsystem.c_str(), name.c_str(), value);
        }
    }
    if (result < 0) {
        if (error) *error = describe(failure.error, result);
        dropIfClosedLocked();
        return false;
    }
    return true;
}

} // namespace qb
