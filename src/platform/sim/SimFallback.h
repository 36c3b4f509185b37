// Until a platform's real backend is built in, its services fall back to the
// sim backend; the first fallback of each service is logged.
#pragma once

#include <string_view>

#include "platform/Platform.h"

namespace qb::sim {

void noteSimFallback(PlatformKind requested, std::string_view service);

} // namespace qb::sim
