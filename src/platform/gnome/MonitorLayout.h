// The desktop's arrangement as GNOME's display configuration holds it: each
// logical monitor's place, scale, turn, whether it is the primary, and the
// connectors it shows. Pure arithmetic on it, for the few configurations we
// apply ourselves (a virtual monitor's HiDPI scale, and the user's layout put
// back when that monitor goes): Mutter takes a layout only when it starts at
// 0,0, its monitors touch and none overlaps, so every change here keeps that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qb::gnome {

struct LogicalMonitor {
    std::int32_t x = 0;
    std::int32_t y = 0;
    // The room it takes in the layout: its mode (turned), divided by its
    // scale when the layout counts in logical pixels.
    std::int32_t width = 0;
    std::int32_t height = 0;
    double scale = 1;
    std::uint32_t transform = 0;
    bool primary = false;
    std::vector<std::string> connectors;

    bool shows(const std::string& connector) const;
};

using MonitorLayout = std::vector<LogicalMonitor>;

// The logical monitor showing `connector` takes `width`×`height` (a new
// scale): the monitors right of it and below it move with its edges, so they
// still touch it; one whose move would overlap another stays where it is.
void resizeMonitor(MonitorLayout& layout, const std::string& connector, std::int32_t width, std::int32_t height);

// The layout without the logical monitor showing `connector`: the monitors
// right of it and below it move up to close the gap, the layout starts at
// 0,0 again, and should that monitor have been the primary, the first one left is.
MonitorLayout withoutMonitor(MonitorLayout layout, const std::string& connector);

// `layout` as it is, with `added` next to its rightmost monitor (at that
// monitor's top), where a new monitor touches the desktop and moves no other.
MonitorLayout withMonitorAtEnd(MonitorLayout layout, LogicalMonitor added);

} // namespace qb::gnome
