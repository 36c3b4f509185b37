#include "platform/linux/LogindPower.h"

#include <unistd.h>

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

} // namespace

std::unique_ptr<InhibitorLock> LogindPower::inhibit(const InhibitRequest& request, std::string* error)
{
    const int fd = bus_->inhibit(request.what, request.who, request.why, request.mode, error);
    if (fd < 0) return nullptr;
    return std::make_unique<FdInhibitorLock>(fd);
}

} // namespace qb
