// Bytes from the kernel's cryptographically secure generator, for secrets
// that a stranger on the network must not guess (tablet pairing codes and
// tokens). Blocks only until the generator is seeded at boot. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qb {

// `count` random bytes; throws std::system_error when the kernel refuses
// (no secret is ever made from a weaker source).
std::vector<std::uint8_t> secureRandomBytes(std::size_t count);

} // namespace qb
