// A private D-Bus daemon with python3-dbusmock's logind template on it, for
// tests of the logind backends. Nothing touches the machine's own buses: the
// daemon listens on a socket in a private directory and the mock connects to
// it as its "system bus".
//
//   MockLogind logind;
//   if (!logind.ready()) GTEST_SKIP() << logind.skipReason();
//   LogindBus bus(logindAt(logind.address()));
//
// The test drives the mock through its org.freedesktop.DBus.Mock interface
// (properties, method overrides, recorded calls). Not thread-safe.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <systemd/sd-bus.h>
#include <unistd.h>

#include "platform/linux/LogindBus.h"
#include "runtime/Process.h"

namespace qb::test {

inline LogindOptions logindAt(std::string address, std::chrono::milliseconds timeout = std::chrono::seconds(2))
{
    LogindOptions options;
    options.busAddress = std::move(address);
    options.callTimeout = timeout;
    return options;
}

inline ProcessOptions command(std::string executable, std::vector<std::string> arguments)
{
    ProcessOptions options;
    options.executable = std::move(executable);
    options.arguments = std::move(arguments);
    options.standardOutput = OutputMode::discard;
    options.standardError = OutputMode::discard;
    return options;
}

class MockLogind {
public:
    static constexpr const char* DBUS_DAEMON = "/usr/bin/dbus-daemon";
    static constexpr const char* PYTHON = "/usr/bin/python3";

    MockLogind()
    {
        if (::access(DBUS_DAEMON, X_OK) != 0) {
            skip_ = "dbus-daemon not installed (apt-get install dbus)";
            return;
        }
        const auto probe = runProcess(command(PYTHON, {"-c", "import dbusmock"}), 20, "probe dbusmock");
        if (probe.exitStatus != 0) {
            skip_ = "python3-dbusmock not installed (apt-get install python3-dbusmock)";
            return;
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "mock-logind-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        address_ = "unix:path=" + (dir_ / "bus").string();
        daemon_ = Process::launch(
            command(DBUS_DAEMON, {"--session", "--nofork", "--nopidfile", "--address=" + address_}));
        if (!daemon_ || !waitFor([&] { return connect(); })) {
            skip_ = "private dbus-daemon did not come up";
            return;
        }
        auto environment = currentEnvironment();
        environment["DBUS_SYSTEM_BUS_ADDRESS"] = address_;
        auto mock = command(PYTHON, {"-m", "dbusmock", "--template", "logind"});
        mock.environment = environment;
        mock_ = Process::launch(mock);
        if (!mock_ || !waitFor([&] { return nameHasOwner("org.freedesktop.login1"); })) {
            skip_ = "dbusmock's logind template did not come up";
            return;
        }
        ready_ = true;
    }

    ~MockLogind()
    {
        if (bus_) sd_bus_flush_close_unref(bus_);
        for (auto* process : {mock_.get(), daemon_.get()}) {
            if (process) {
                process->terminate();
                process->waitUntilExit(std::chrono::seconds(5));
            }
        }
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }

    bool ready() const { return ready_; }
    const std::string& skipReason() const { return skip_; }
    const std::string& address() const { return address_; }

    // Adds (or resets) a Boolean property of the manager.
    void setManagerBool(const std::string& name, bool value)
    {
        // Set when the property exists (emitting PropertiesChanged), else add it.
        for (const auto& [interface, method] : {std::pair{"org.freedesktop.DBus.Properties", "Set"}, std::pair{MOCK, "AddProperty"}}) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* call = nullptr;
            sd_bus_message_new_method_call(bus_, &call, LOGIND, PATH, interface, method);
            sd_bus_message_append(call, "ss", MANAGER, name.c_str());
            sd_bus_message_append(call, "v", "b", int(value));
            const int result = sd_bus_call(bus_, call, 5'000'000, &error, nullptr);
            sd_bus_message_unref(call);
            sd_bus_error_free(&error);
            if (result >= 0) return;
        }
    }

    // Replaces a manager method by Python code (dbusmock's AddMethod).
    void overrideManagerMethod(const std::string& name, const std::string& in, const std::string& out,
        const std::string& code)
    {
        callMock(PATH, "AddMethod", MANAGER, name, in, out, code);
    }

    // Adds a session object at /org/freedesktop/login1/session/<id> with a
    // recording SetBrightness.
    void addSessionWithBrightness(const std::string& id)
    {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_call_method(bus_, LOGIND, PATH, MOCK, "AddSession", &error, nullptr, "ssusb", id.c_str(), "seat0",
            1000u, "user", 1);
        sd_bus_error_free(&error);
        callMock(("/org/freedesktop/login1/session/" + id).c_str(), "AddMethod", "org.freedesktop.login1.Session",
            "SetBrightness", "ssu", "", "");
    }

    // The arguments of each recorded call of `method` on `path`, as text.
    std::vector<std::string> recordedCalls(const std::string& path, const std::string& method)
    {
        std::vector<std::string> calls;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus_, LOGIND, path.c_str(), MOCK, "GetMethodCalls", &error, &reply, "s", method.c_str()) < 0) {
            sd_bus_error_free(&error);
            return calls;
        }
        sd_bus_message_enter_container(reply, 'a', "(tav)");
        while (sd_bus_message_enter_container(reply, 'r', "tav") > 0) {
            std::uint64_t when = 0;
            sd_bus_message_read(reply, "t", &when);
            std::string text;
            sd_bus_message_enter_container(reply, 'a', "v");
            while (!sd_bus_message_at_end(reply, false)) {
                char type = 0;
                const char* contents = nullptr;
                sd_bus_message_peek_type(reply, &type, &contents);
                sd_bus_message_enter_container(reply, 'v', contents);
                if (contents[0] == 's') {
                    const char* s = nullptr;
                    sd_bus_message_read(reply, "s", &s);
                    text += std::string(s) + " ";
                } else if (contents[0] == 'u') {
                    std::uint32_t u = 0;
                    sd_bus_message_read(reply, "u", &u);
                    text += std::to_string(u) + " ";
                } else {
                    sd_bus_message_skip(reply, contents);
                }
                sd_bus_message_exit_container(reply);
            }
            sd_bus_message_exit_container(reply);
            sd_bus_message_exit_container(reply);
            if (!text.empty()) text.pop_back();
            calls.push_back(text);
        }
        sd_bus_message_unref(reply);
        return calls;
    }

    // The inhibitors logind lists now, as "what who why mode".
    std::vector<std::string> inhibitors()
    {
        std::vector<std::string> result;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus_, LOGIND, PATH, MANAGER, "ListInhibitors", &error, &reply, "") < 0) {
            sd_bus_error_free(&error);
            return result;
        }
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)");
        const char *what, *who, *why, *mode;
        std::uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
            result.push_back(std::string(what) + " " + who + " " + why + " " + mode);
        }
        sd_bus_message_unref(reply);
        return result;
    }

    // Polls `condition` every 10 ms for up to `timeout`.
    template <class Condition>
    static bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return condition();
    }

private:
    static constexpr const char* LOGIND = "org.freedesktop.login1";
    static constexpr const char* PATH = "/org/freedesktop/login1";
    static constexpr const char* MANAGER = "org.freedesktop.login1.Manager";
    static constexpr const char* MOCK = "org.freedesktop.DBus.Mock";

    static std::map<std::string, std::string> currentEnvironment()
    {
        std::map<std::string, std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const auto equals = text.find('=');
            if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
        }
        return environment;
    }

    bool connect()
    {
        if (bus_) return true;
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) return false;
        sd_bus_set_address(bus, address_.c_str());
        sd_bus_set_bus_client(bus, 1);
        if (sd_bus_start(bus) < 0) {
            sd_bus_unref(bus);
            return false;
        }
        bus_ = bus;
        return true;
    }

    bool nameHasOwner(const char* name)
    {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int owned = 0;
        if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "NameHasOwner", &error, &reply, "s", name) >= 0) {
            sd_bus_message_read(reply, "b", &owned);
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return owned != 0;
    }

    void callMock(const char* path, const char* method, const std::string& interface, const std::string& name,
        const std::string& in, const std::string& out, const std::string& code)
    {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_call_method(bus_, LOGIND, path, MOCK, method, &error, nullptr, "sssss", interface.c_str(), name.c_str(),
            in.c_str(), out.c_str(), code.c_str());
        sd_bus_error_free(&error);
    }

    std::filesystem::path dir_;
    std::string address_;
    std::string skip_;
    bool ready_ = false;
    std::shared_ptr<Process> daemon_;
    std::shared_ptr<Process> mock_;
    sd_bus* bus_ = nullptr;
};

} // namespace qb::test
