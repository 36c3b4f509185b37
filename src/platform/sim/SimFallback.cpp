#include "platform/sim/SimFallback.h"

#include <mutex>
#include <set>
#include <string>

#include "diagnostics/PlatformLog.h"

namespace qb::sim {

void noteSimFallback(PlatformKind requested, std::string_view service)
{
    static std::mutex lock;
    static std::set<std::string> noted;
    {
        std::lock_guard guard(lock);
        if (!noted.insert(std::string(service)).second) return;
    }
    platformLog(LogLevel::warn, "Platform",
        "[Platform] No " + std::string(platformName(requested)) + " backend for " + std::string(service)
            + " in this build — using the simulated one");
}

} // namespace qb::sim
