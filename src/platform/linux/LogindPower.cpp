#include "platform/linux/LogindPower.h"

#include <unistd.h>

#include <chrono>

#include <systemd/sd-bus.h>

namespace qb {

namespace {

class FdInhibitorLock final : public InhibitorLock {
public:
    explicit FdInhibitorLock(int fd) : fd_(fd) {}
    ~FdInhibitorLock() override { ::close(fd_); }
    std::string describe() const override { return "fd: " + std::to_string(fd_); }
    int holderPid() const override { return int(::getpid()); }

private:
    int fd_;
};

int prepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*)
{
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
    (*static_cast<std::function<void(bool)>*>(userdata))(sleeping != 0);
    return 0;
}

} // namespace

LogindPower::~LogindPower()
{
    stopping_.store(true);
    if (listener_.joinable()) listener_.join();
}

void LogindPower::watchSleep(std::function<void(bool sleeping)> changed)
{
    if (listener_.joinable() || !changed) return;
    sleepChanged_ = std::move(changed);
    listener_ = std::thread([this] { listen(); });
}

void LogindPower::listen()
{
    const std::string address = bus_->options().busAddress.value_or("unix:path=/run/dbus/system_bus_socket");
    sd_bus* bus = nullptr;
    // Waits of at most 200 ms, so that the destructor's join is prompt.
    const auto pause = [this] {
        for (int i = 0; i < 5 && !stopping_.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
    while (!stopping_.load()) {
        if (!bus) {
            int result = sd_bus_new(&bus);
            if (result >= 0) result = sd_bus_set_address(bus, address.c_str());
            if (result >= 0) result = sd_bus_set_bus_client(bus, 1);
            if (result >= 0) result = sd_bus_start(bus);
            if (result >= 0) {
                result = sd_bus_match_signal(bus, nullptr, "org.freedesktop.login1", "/org/freedesktop/login1",
                    "org.freedesktop.login1.Manager", "PrepareForSleep", prepareForSleep, &sleepChanged_);
            }
            if (result < 0) {
                bus = sd_bus_close_unref(bus);
                pause();
                continue;
            }
        }
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) {
            bus = sd_bus_close_unref(bus);
            pause();
            continue;
        }
        if (processed == 0) sd_bus_wait(bus, 200000);
    }
    if (bus) sd_bus_close_unref(bus);
}

std::unique_ptr<InhibitorLock> LogindPower::inhibit(const InhibitRequest& request, std::string* error)
{
    const int fd = bus_->inhibit(request.what, request.who, request.why, request.mode, error);
    if (fd < 0) return nullptr;
    return std::make_unique<FdInhibitorLock>(fd);
}

} // namespace qb
