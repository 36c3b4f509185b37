#include "platform/InputInjector.h"


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

} // namespace qb
