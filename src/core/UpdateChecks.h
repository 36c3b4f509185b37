// Looks for a newer release now and every six hours. `found` runs on the
// main loop with the new version and its download address. No-op by default.
#pragma once

#include <functional>
#include <string>

namespace qb {

class UpdateChecks {
public:
    virtual ~UpdateChecks() = default;
    virtual void schedule(std::function<void(const std::string& version, const std::string& url)> found)
    {
        (void)found;
    }
    virtual void cancel() {}
};

} // namespace qb
