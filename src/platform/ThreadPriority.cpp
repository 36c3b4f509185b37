#include "platform/ThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diagnostics/PlatformLog.h"

namespace qb {

namespace {

bool turnedOff()
{
    static const bool off = [] {
        const char* wanted = std::getenv("QUILLBRIGHT_FRAME_PRIORITY");
        return wanted && std::strcmp(wanted, "0") == 0;
    }();
    return off;
}

} // namespace

bool raiseFrameThreadPriority()
{
    if (turnedOff()) return false;
    const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, thread);
    if (errno == 0 && current <= FRAME_THREAD_NICE) return true;
    if (::setpriority(PRIO_PROCESS, thread, FRAME_THREAD_NICE) == 0) return true;
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true)) {
        platformLog(LogLevel::info, "Capture",
            std::string("frame threads keep the normal priority (") + std::strerror(errno)
                + "): on a busy machine frames wait for a core");
    }
    return false;
}

} // namespace qb
