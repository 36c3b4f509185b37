#include "platform/InputInjector.h"

#include "platform/sim/SimInputInjector.h"

namespace qb {

std::string_view mouseEventTypeName(MouseEventType type)
{
    switch (type) {
    case MouseEventType::moved: return "moved";
    case MouseEventType::leftDown: return "leftDown";
    case MouseEventType::leftUp: return "leftUp";
    case MouseEventType::leftDragged: return "leftDragged";
    }
    return "moved";
}

std::string_view scrollPhaseName(ScrollPhase phase)
{
    switch (phase) {
    case ScrollPhase::began: return "began";
    case ScrollPhase::changed: return "changed";
    case ScrollPhase::ended: return "ended";
    }
    return "changed";
}

std::shared_ptr<InputInjector> makeInputInjector(PlatformKind kind)
{
    switch (kind) {
    case PlatformKind::sim:
    case PlatformKind::x11: // the real injectors come with a Platform
    case PlatformKind::wayland:
        return std::make_shared<SimInputInjector>(true);
    }
    return std::make_shared<SimInputInjector>(true);
}

} // namespace qb
