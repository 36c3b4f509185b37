#include "config/MirrorStatus.h"

#include "config/Text.h"

namespace qb {


std::string MirrorStatus::label() const
{
    switch (kind_) {
    case Kind::idle: return "idle";
    case Kind::waitingForDevice: return "waiting_for_device";
    case Kind::starting: return "starting";
    case Kind::running: return "running";
    case Kind::stopping: return "stopping";
    case Kind::error: return "error: " + message_;
    }
    return "idle";
}

} // namespace qb

std::size_t std::hash<qb::MirrorStatus>::operator()(const qb::MirrorStatus& s) const noexcept
{
    std::size_t seed = std::hash<int>{}(static_cast<int>(s.kind()));
    qb::hashCombine(seed, std::hash<std::string>{}(s.message()));
    return seed;
}
