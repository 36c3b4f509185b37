// The wayland backend's services, built on one shared WaylandDesktop.
#pragma once

#include <memory>

#include "platform/wayland/WaylandDesktop.h"

namespace qb {
class CaptureBackend;
class VirtualDisplays;
class InputInjector;
} // namespace qb

namespace qb::wayland {

std::shared_ptr<VirtualDisplays> makeWaylandVirtualDisplays(const std::shared_ptr<WaylandDesktop>& desktop);
std::shared_ptr<CaptureBackend> makeWaylandCaptureBackend(const std::shared_ptr<WaylandDesktop>& desktop);
std::shared_ptr<InputInjector> makeWaylandInputInjector(const std::shared_ptr<WaylandDesktop>& desktop);

// Button codes and axis flags of Mutter's remote-desktop input calls.
inline constexpr std::uint32_t AXIS_FINISH = 1U << 0;
inline constexpr std::uint32_t AXIS_SOURCE_FINGER = 1U << 2;

} // namespace qb::wayland
