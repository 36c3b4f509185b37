// GNOME's backend services, built on one shared GnomeDesktop.
#pragma once

#include <memory>

#include "platform/gnome/GnomeDesktop.h"

namespace qb {
class CaptureBackend;
class VirtualDisplays;
class InputInjector;
} // namespace qb

namespace qb::gnome {

std::shared_ptr<VirtualDisplays> makeGnomeVirtualDisplays(const std::shared_ptr<GnomeDesktop>& desktop);
std::shared_ptr<CaptureBackend> makeGnomeCaptureBackend(const std::shared_ptr<GnomeDesktop>& desktop);
std::shared_ptr<InputInjector> makeGnomeInputInjector(const std::shared_ptr<GnomeDesktop>& desktop);

// Button codes and axis flags of Mutter's remote-desktop input calls.
inline constexpr std::uint32_t AXIS_FINISH = 1U << 0;
inline constexpr std::uint32_t AXIS_SOURCE_FINGER = 1U << 2;

} // namespace qb::gnome
