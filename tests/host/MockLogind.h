// A private D-Bus daemon with one of python3-dbusmock's templates on it:
// logind for tests of the logind backends, the notification daemon for
// desktop notifications. Nothing touches the machine's own buses: the
// daemon listens on a socket in a private directory and the mock connects to
// it as its system or session bus. The test drives the mock with busctl through
// dbusmock's org.freedesktop.DBus.Mock interface.
//
//   MockLogind logind;
//   if (!logind.ready()) GTEST_SKIP() << logind.skipReason();
//   LogindBus bus(logindAt(logind.address()));
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/linux/LogindBus.h"
#include "runtime/Process.h"
#include "support/TestSupport.h"

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
    options.standardError = OutputMode::discard;
    options.killedWithLaunchingThread = true;
    return options;
}

// Polls `condition` every 10 ms for up to `timeout`.
template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return eventually(condition, timeout, std::chrono::milliseconds(10));
}

// A private dbus-daemon, and on it one of python3-dbusmock's templates
// owning `service`, which finds the bus by `busVariable`; its calls are
// logged to calls() ("<time> <method> <arguments>" a line).
class DbusMock {
public:
    DbusMock(std::string templateName, std::string busVariable, std::string service, bool startNow = true)
        : template_(std::move(templateName)), variable_(std::move(busVariable)), service_(std::move(service))
    {
        for (const char* tool : {"/usr/bin/dbus-daemon", "/usr/bin/busctl"}) {
            if (::access(tool, X_OK) != 0) {
                skip_ = std::string(tool) + " not installed (apt-get install dbus systemd)";
                return;
            }
        }
        if (runProcess(command("/usr/bin/python3", {"-c", "import dbusmock"}), 20, "probe").exitStatus != 0) {
            skip_ = "python3-dbusmock not installed (apt-get install python3-dbusmock)";
            return;
        }
        address_ = "unix:path=" + (dir_ / "bus").string();
        auto daemon = command("/usr/bin/dbus-daemon", {"--session", "--nofork", "--nopidfile", "--address=" + address_});
        daemon.standardOutput = OutputMode::discard;
        daemon_ = Process::launch(daemon);
        busUp_ = daemon_ && waitFor([&] { return std::filesystem::exists(dir_ / "bus"); });
        if (!busUp_) skip_ = "private dbus-daemon did not come up";
        else if (startNow && !startService()) skip_ = "dbusmock's " + template_ + " template did not come up";
    }

    ~DbusMock()
    {
        for (auto* process : {mock_.get(), daemon_.get()}) {
            if (process) process->terminate();
            if (process) process->waitUntilExit(std::chrono::seconds(5));
        }
    }
    DbusMock(const DbusMock&) = delete;
    DbusMock& operator=(const DbusMock&) = delete;

    // The template's service, when it was not started at once.
    bool startService()
    {
        if (!busUp_) return false;
        auto mock = command("/usr/bin/python3", {"-m", "dbusmock", "--template", template_, "-l", (dir_ / "calls").string()});
        mock.standardOutput = OutputMode::discard;
        mock.environment = std::map<std::string, std::string>{{variable_, address_}};
        mock_ = Process::launch(mock);
        ready_ = mock_ && waitFor([&] { return busctl({"status", service_}).exitStatus == 0; });
        return ready_;
    }

    // The logged calls of `method`.
    std::vector<std::string> calls(const std::string& method) const
    {
        std::ifstream log(dir_ / "calls");
        std::vector<std::string> found;
        for (std::string line; std::getline(log, line);) {
            if (line.find(" " + method + " ") != std::string::npos) found.push_back(line);
        }
        return found;
    }

    bool ready() const { return ready_; }
    const std::string& skipReason() const { return skip_; }
    const std::string& address() const { return address_; }

    // busctl against the private bus: arguments after "--address=...".
    ProcessResult busctl(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), "--address=" + address_);
        return runProcess(command("/usr/bin/busctl", arguments), 10, "busctl");
    }

private:
    std::string template_;
    std::string variable_;
    std::string service_;
    TempDir dir_{"mock-bus"};
    std::string address_;
    std::string skip_;
    bool busUp_ = false;
    bool ready_ = false;
    std::shared_ptr<Process> daemon_;
    std::shared_ptr<Process> mock_;
};

// logind, its system bus the private one.
class MockLogind : public DbusMock {
public:
    MockLogind() : DbusMock("logind", "DBUS_SYSTEM_BUS_ADDRESS", LOGIND) {}

    // Sets a Boolean property of the manager (adding it the first time).
    void setManagerBool(const std::string& name, bool value)
    {
        const std::string text = value ? "true" : "false";
        if (busctl({"set-property", LOGIND, PATH, MANAGER, name, "b", text}).exitStatus == 0) return;
        busctl({"call", LOGIND, PATH, MOCK, "AddProperty", "ssv", MANAGER, name, "b", text});
    }

    // Replaces a method by Python code (dbusmock's AddMethod) on `path`.
    void overrideMethod(const std::string& path, const std::string& interface, const std::string& name,
        const std::string& in, const std::string& code)
    {
        busctl({"call", LOGIND, path, MOCK, "AddMethod", "sssss", interface, name, in, in == "ssss" ? "h" : "", code});
    }
    // Manager.PrepareForSleep, as logind sends it before sleep (true) and after.
    void prepareForSleep(bool sleeping)
    {
        busctl({"call", LOGIND, PATH, MOCK, "EmitSignal", "sssav", MANAGER, "PrepareForSleep", "b", "1", "b",
            sleeping ? "true" : "false"});
    }
    void addSession(const std::string& id)
    {
        busctl({"call", LOGIND, PATH, MOCK, "AddSession", "ssusb", id, "seat0", "1000", "user", "true"});
    }

    // ListInhibitors as busctl prints it: a(ssssuu) 1 "sleep:idle" "QuillBright" ...
    std::string inhibitors()
    {
        auto listed = busctl({"call", LOGIND, PATH, MANAGER, "ListInhibitors"}).standardOutput;
        while (!listed.empty() && listed.back() == '\n') listed.pop_back();
        return listed;
    }

    static constexpr const char* NO_INHIBITORS = "a(ssssuu) 0";
    static constexpr const char* LOGIND = "org.freedesktop.login1";
    static constexpr const char* PATH = "/org/freedesktop/login1";
    static constexpr const char* MANAGER = "org.freedesktop.login1.Manager";
    static constexpr const char* MOCK = "org.freedesktop.DBus.Mock";
};

} // namespace qb::test
