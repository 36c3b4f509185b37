#include "platform/InputInjector.h"

namespace qb {

std::string_view mouseEventTypeName(MouseEventType type)
{
    switch (type) {
    case MouseEventType::moved: return "moved";
    case MouseEventType::leftDown: return "leftDown";
    case MouseEventType::leftUp: return "leftUp";
    case MouseEventType::leftDragged: return "leftDragged";
    case MouseEventType::rightDown: return "rightDown";
    case MouseEventType::rightUp: return "rightUp";
    case MouseEventType::rightDragged: return "rightDragged";
    case MouseEventType::middleDown: return "middleDown";
    case MouseEventType::middleUp: return "middleUp";
    }
    return "moved";
}

std::optional<ButtonChange> buttonChange(MouseEventType type)
{
    switch (type) {
    case MouseEventType::leftDown: return ButtonChange{BUTTON_CODE_LEFT, true};
    case MouseEventType::leftUp: return ButtonChange{BUTTON_CODE_LEFT, false};
    case MouseEventType::rightDown: return ButtonChange{BUTTON_CODE_RIGHT, true};
    case MouseEventType::rightUp: return ButtonChange{BUTTON_CODE_RIGHT, false};
    case MouseEventType::middleDown: return ButtonChange{BUTTON_CODE_MIDDLE, true};
    case MouseEventType::middleUp: return ButtonChange{BUTTON_CODE_MIDDLE, false};
    default: return std::nullopt;
    }
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
