// The engine's version, also the version the companion app is checked
// against and the one the Wi-Fi advertisement and the update check report.
#pragma once

#include <string_view>

namespace qb {

inline constexpr std::string_view APP_VERSION = "2.4.4";

} // namespace qb
