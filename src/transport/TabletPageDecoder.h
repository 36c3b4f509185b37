// The tablet page's WebAssembly decoders, built from transport/wasm/PageDecoder.cpp
// with clang for wasm32 when the daemon is built and embedded in it as
// bytes: one with SIMD128, one without. The page carries them inline
// (TabletPage.cpp), so no address serves them and nothing is fetched.
#pragma once

#include <cstdint>
#include <span>

namespace qb {

std::span<const std::uint8_t> pageDecoderWasm(bool simd);

} // namespace qb
