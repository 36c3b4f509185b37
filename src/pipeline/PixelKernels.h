// The per-frame pixel work of the encoder: BGRA to 8-bit grey or packed RGB,
// the contrast/gamma tone curve, and the XOR of two frames, as separate
// kernels and fused into one pass over a band of rows (encodeRows*), which
// is what the encoder runs: the source is read once and each output byte is
// written once to the delta and once to the reference.
//
// Every kernel is defined by its plain scalar form (namespace `scalar`) and
// has SSE2, AVX2 and AVX-512 versions chosen once at run time from what the
// processor offers (cpuid); all versions give bit-identical results for every
// width, stride and byte value. The build never assumes more than the x86-64
// baseline.
//
// Sources are `height` rows of `width` 32-bit pixels in memory order B, G, R,
// A, `srcStride` bytes apart (a capture surface may pad its rows);
// destinations are packed rows (no gap between rows).
//
// The kernels are pure functions of their arguments and safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qb {

using ToneCurve = std::array<std::uint8_t, 256>;

// Grey = (29·B + 150·G + 77·R + 0·A) / 256, truncated (BT.601 luma weights
// scaled by 256).
void convertBGRAToGrey(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
    int width, int height);

// Packed R, G, B bytes per pixel; alpha is dropped.
void convertBGRAToRGB(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
    int width, int height);

// The tone curve for a contrast and a gamma amount: for entry i, v = i / 255;
// when |gamma − 1| > 0.01, v = v^(1/gamma); out = v·255 when |contrast − 1| ≤
// 0.01, else contrast·(v·255 − 128) + 128; the entry is out truncated toward
// zero and clamped to 0-255.
ToneCurve makeToneCurve(double contrast, double gamma);

// True when both amounts are within 0.01 of 1, so no curve needs applying.
bool toneCurveIsIdentity(double contrast, double gamma);

// Replaces each of `count` bytes by its table entry, in place.
void applyToneCurve(const ToneCurve& curve, std::uint8_t* data, std::size_t count);

// delta[i] = current[i] XOR previous[i] for i < count; a count of 0 or less
// writes nothing. Buffers may not overlap, except delta == current.
void xorDeltaBuffers(const std::uint8_t* current, const std::uint8_t* previous, std::uint8_t* delta,
    std::int64_t count);

// One pass over `height` rows of `width` BGRA pixels: each pixel becomes its
// grey byte v, put through `curve` unless it is null; then, at the same index
// of the packed destinations, delta = v XOR reference and reference = v.
// The reference therefore ends up holding the converted rows and the delta
// what changed against what it held before.
void encodeRowsGrey(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta);
// The same for packed R, G, B (no tone curve).
void encodeRowsRGB(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    std::uint8_t* reference, std::uint8_t* delta);

// The kernel sets, for tests and benchmarks that compare them.
// avx512bw: grey 64 pixels per step, the tone curve as 16 vpshufb lookups;
// avx512vbmi: grey sums by vpdpbusd (VNNI, which every VBMI processor but
// one early laptop part has; the set needs both), the tone curve by
// vpermi2b. RGB stays AVX2.
enum class SimdLevel { scalar, sse2, avx2, avx512bw, avx512vbmi };

using EncodeRowsGreyKernel = void (*)(const std::uint8_t*, std::size_t, int, int, const ToneCurve*,
    std::uint8_t*, std::uint8_t*);
using EncodeRowsRGBKernel = void (*)(const std::uint8_t*, std::size_t, int, int, std::uint8_t*,
    std::uint8_t*);

struct PixelKernelSet {
    SimdLevel level;
    void (*toGrey)(const std::uint8_t*, std::size_t, std::uint8_t*, int, int);
    void (*toRGB)(const std::uint8_t*, std::size_t, std::uint8_t*, int, int);
    void (*toneCurve)(const ToneCurve&, std::uint8_t*, std::size_t);
    void (*xorDelta)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::int64_t);
    EncodeRowsGreyKernel encodeGrey;
    EncodeRowsRGBKernel encodeRGB;
};

// The set the free functions above use (the best the processor supports).
const PixelKernelSet& activePixelKernels();
// The set of one level, or nullptr when this processor lacks it.
const PixelKernelSet* pixelKernels(SimdLevel level);
std::string_view simdLevelName(SimdLevel level);

namespace scalar {
// The reference definitions, one pixel or byte at a time.
void convertBGRAToGrey(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
    int width, int height);
void convertBGRAToRGB(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
    int width, int height);
void applyToneCurve(const ToneCurve& curve, std::uint8_t* data, std::size_t count);
void xorDeltaBuffers(const std::uint8_t* current, const std::uint8_t* previous, std::uint8_t* delta,
    std::int64_t count);
void encodeRowsGrey(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta);
void encodeRowsRGB(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    std::uint8_t* reference, std::uint8_t* delta);
} // namespace scalar

} // namespace qb
