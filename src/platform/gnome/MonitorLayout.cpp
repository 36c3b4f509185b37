#include "platform/gnome/MonitorLayout.h"

#include <algorithm>

namespace qb::gnome {

bool LogicalMonitor::shows(const std::string& connector) const
{
    return std::find(connectors.begin(), connectors.end(), connector) != connectors.end();
}

void resizeMonitor(MonitorLayout& layout, const std::string& connector, std::int32_t width, std::int32_t height)
{
    const auto mine = std::find_if(layout.begin(), layout.end(), [&](const auto& m) { return m.shows(connector); });
    if (mine == layout.end()) return;
    const std::int32_t right = mine->x + mine->width;
    const std::int32_t bottom = mine->y + mine->height;
    const std::int32_t growX = width - mine->width;
    const std::int32_t growY = height - mine->height;
    mine->width = width;
    mine->height = height;
    // Nearest first; a monitor whose move would overlap another stays.
    std::vector<LogicalMonitor*> others;
    for (auto& other : layout) {
        if (&other != &*mine) others.push_back(&other);
    }
    std::sort(others.begin(), others.end(), [](auto* a, auto* b) { return a->x + a->y < b->x + b->y; });
    for (LogicalMonitor* other : others) {
        LogicalMonitor moved = *other;
        if (moved.x >= right) moved.x += growX;
        if (moved.y >= bottom) moved.y += growY;
        const bool clash = std::any_of(layout.begin(), layout.end(), [&](const LogicalMonitor& m) {
            return &m != other && m.x < moved.x + moved.width && moved.x < m.x + m.width && m.y < moved.y + moved.height
                && moved.y < m.y + m.height;
        });
        if (!clash) *other = std::move(moved);
    }
}

MonitorLayout withoutMonitor(MonitorLayout layout, const std::string& connector)
{
    resizeMonitor(layout, connector, 0, 0);
    std::erase_if(layout, [&](const auto& m) { return m.shows(connector); });
    if (layout.empty()) return layout;
    std::int32_t left = layout.front().x;
    std::int32_t top = layout.front().y;
    for (const auto& m : layout) {
        left = std::min(left, m.x);
        top = std::min(top, m.y);
    }
    for (auto& m : layout) {
        m.x -= left;
        m.y -= top;
    }
    if (std::none_of(layout.begin(), layout.end(), [](const auto& m) { return m.primary; })) {
        layout.front().primary = true;
    }
    return layout;
}

MonitorLayout withMonitorAtEnd(MonitorLayout layout, LogicalMonitor added)
{
    added.x = 0;
    added.y = 0;
    for (const auto& m : layout) {
        const std::int32_t right = m.x + m.width;
        if (right > added.x || (right == added.x && m.y < added.y)) {
            added.x = right;
            added.y = m.y;
        }
    }
    layout.push_back(std::move(added));
    return layout;
}

} // namespace qb::gnome
