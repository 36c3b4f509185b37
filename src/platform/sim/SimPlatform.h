// The simulated desktop and host: deterministic, in memory, for tests,
// benchmarks and demos. A library of its own (qb_platform_sim) that the
// product's platform layer does not contain: tests and benchmarks link it,
// and the command line links it only to offer it by name
// (QUILLBRIGHT_PLATFORM=sim). No detection ever chooses it, and a daemon
// that finds no desktop never falls back to it.
#pragma once

#include <memory>

#include "platform/Platform.h"

namespace qb {

// The registry entry the command line adds to platformBackends(): chosen
// only when asked for, with simulated host services too.
PlatformBackend simPlatformBackend();

// The whole sim platform (tests), with the environment's other values.
std::shared_ptr<Platform> makeSimPlatform();

// The desktop alone, for its own tests.
std::shared_ptr<Desktop> makeSimDesktop();

// In memory (SimHost.h); the backlight in config.simBacklightFile when set.
HostServices makeSimHost(const PlatformConfig& config = {});

} // namespace qb
