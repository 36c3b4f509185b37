#include "pipeline/PixelKernels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <immintrin.h>

#include "platform/PixelKernelChoice.h"

namespace qb {

namespace {

constexpr int WEIGHT_B = 29;
constexpr int WEIGHT_G = 150;
constexpr int WEIGHT_R = 77;

inline std::uint8_t greyOf(const std::uint8_t* p)
{
    return static_cast<std::uint8_t>((WEIGHT_B * p[0] + WEIGHT_G * p[1] + WEIGHT_R * p[2]) >> 8);
}

inline std::uint32_t load32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint64_t load64(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Capture surfaces are often not in this core's caches yet (the X server or
// the compositor wrote them from another core): asking for the source 4 KB
// ahead keeps memory busy while the current block is worked on, which the
// hardware prefetcher alone does not do well enough across a whole frame.
// A prefetch never faults, so running past the end of the surface is harmless;
// the address is formed as an integer, not as a pointer past the buffer.
constexpr std::uintptr_t PREFETCH_AHEAD = 4096;

inline void prefetchAhead(const std::uint8_t* p, int cacheLines)
{
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) + PREFETCH_AHEAD;
    for (int k = 0; k < cacheLines; ++k) _mm_prefetch(reinterpret_cast<const char*>(at + 64 * static_cast<unsigned>(k)), _MM_HINT_T0);
}

inline void store32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void store64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

void greyTail(const std::uint8_t* src, std::uint8_t* dst, int from, int width)
{
    for (int x = from; x < width; ++x) dst[x] = greyOf(src + 4 * x);
}

void rgbTail(const std::uint8_t* src, std::uint8_t* dst, int from, int width)
{
    for (int x = from; x < width; ++x) {
        dst[3 * x] = src[4 * x + 2];
        dst[3 * x + 1] = src[4 * x + 1];
        dst[3 * x + 2] = src[4 * x];
    }
}

void xorTail(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out, std::int64_t from,
    std::int64_t count)
{
    for (std::int64_t i = from; i < count; ++i) out[i] = a[i] ^ b[i];
}

// ---------------------------------------------------------------- SSE2 set

void greySSE2(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, int width,
    int height)
{
    const __m128i weights = _mm_setr_epi16(WEIGHT_B, WEIGHT_G, WEIGHT_R, 0, WEIGHT_B, WEIGHT_G,
        WEIGHT_R, 0);
    const __m128i zero = _mm_setzero_si128();
    // Two pixels widened to 16 bits, multiplied and paired: (B·29 + G·150, R·77)
    // per pixel; adding the even and odd 32-bit lanes finishes the sums.
    auto sums4 = [&](__m128i px) {
        __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(px, zero), weights);
        __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(px, zero), weights);
        __m128 even = _mm_shuffle_ps(_mm_castsi128_ps(lo), _mm_castsi128_ps(hi), _MM_SHUFFLE(2, 0, 2, 0));
        __m128 odd = _mm_shuffle_ps(_mm_castsi128_ps(lo), _mm_castsi128_ps(hi), _MM_SHUFFLE(3, 1, 3, 1));
        return _mm_srli_epi32(_mm_add_epi32(_mm_castps_si128(even), _mm_castps_si128(odd)), 8);
    };
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        std::uint8_t* out = dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        int x = 0;
        for (; x + 16 <= width; x += 16) {
            const std::uint8_t* p = row + 4 * x;
            __m128i a = sums4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
            __m128i b = sums4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
            __m128i c = sums4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
            __m128i d = sums4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
            __m128i packed = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), packed);
        }
        greyTail(row, out, x, width);
    }
}

// No byte shuffle before SSSE3: four pixels become three 32-bit words of RGB
// through word arithmetic.
void rgbWords(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, int width,
    int height)
{
    auto rgbOf = [](std::uint32_t bgra) { return __builtin_bswap32(bgra) >> 8; }; // bytes R, G, B, 0
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        std::uint8_t* out = dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
        int x = 0;
        for (; x + 4 <= width; x += 4) {
            const std::uint32_t p0 = rgbOf(load32(row + 4 * x));
            const std::uint32_t p1 = rgbOf(load32(row + 4 * x + 4));
            const std::uint32_t p2 = rgbOf(load32(row + 4 * x + 8));
            const std::uint32_t p3 = rgbOf(load32(row + 4 * x + 12));
            std::uint8_t* o = out + 3 * x;
            store32(o, p0 | (p1 << 24));
            store32(o + 4, (p1 >> 8) | (p2 << 16));
            store32(o + 8, (p2 >> 16) | (p3 << 8));
        }
        rgbTail(row, out, x, width);
    }
}

void toneCurveUnrolled(const ToneCurve& curve, std::uint8_t* data, std::size_t count)
{
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const std::uint64_t v = load64(data + i);
        std::uint64_t r = 0;
        for (int k = 0; k < 8; ++k) {
            r |= static_cast<std::uint64_t>(curve[(v >> (8 * k)) & 0xFF]) << (8 * k);
        }
        store64(data + i, r);
    }
    for (; i < count; ++i) data[i] = curve[data[i]];
}

void xorSSE2(const std::uint8_t* current, const std::uint8_t* previous, std::uint8_t* delta,
    std::int64_t count)
{
    if (count <= 0) return;
    std::int64_t i = 0;
    for (; i + 64 <= count; i += 64) {
        for (int k = 0; k < 64; k += 16) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(current + i + k));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous + i + k));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(delta + i + k), _mm_xor_si128(a, b));
        }
    }
    for (; i + 8 <= count; i += 8) store64(delta + i, load64(current + i) ^ load64(previous + i));
    xorTail(current, previous, delta, i, count);
}

// The fused pass for sets without a hand-fused kernel: each row goes
// through the set's own kernels in chunks small enough to stay in L1, so
// memory still sees one read of the source and one write per output byte.
constexpr int COMPOSE_CHUNK = 512; // pixels

template <auto ToGrey, auto ToneCurveKernel, auto XorKernel>
void encodeGreyComposed(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta)
{
    alignas(64) std::uint8_t chunk[COMPOSE_CHUNK];
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; x += COMPOSE_CHUNK) {
            const int n = std::min(COMPOSE_CHUNK, width - x);
            const auto count = static_cast<std::size_t>(n);
            ToGrey(row + 4 * static_cast<std::size_t>(x), 4 * count, chunk, n, 1);
            if (curve) ToneCurveKernel(*curve, chunk, count);
            std::uint8_t* ref = reference + out + static_cast<std::size_t>(x);
            XorKernel(chunk, ref, delta + out + static_cast<std::size_t>(x), static_cast<std::int64_t>(count));
            std::memcpy(ref, chunk, count);
        }
    }
}

template <auto ToRGB, auto XorKernel>
void encodeRGBComposed(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    std::uint8_t* reference, std::uint8_t* delta)
{
    alignas(64) std::uint8_t chunk[COMPOSE_CHUNK * 3];
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
        for (int x = 0; x < width; x += COMPOSE_CHUNK) {
            const int n = std::min(COMPOSE_CHUNK, width - x);
            const auto count = static_cast<std::size_t>(n) * 3;
            ToRGB(row + 4 * static_cast<std::size_t>(x), 4 * static_cast<std::size_t>(n), chunk, n, 1);
            std::uint8_t* ref = reference + out + 3 * static_cast<std::size_t>(x);
            XorKernel(chunk, ref, delta + out + 3 * static_cast<std::size_t>(x), static_cast<std::int64_t>(count));
            std::memcpy(ref, chunk, count);
        }
    }
}

void encodeGreySSE2(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta)
{
    encodeGreyComposed<greySSE2, toneCurveUnrolled, xorSSE2>(src, srcStride, width, height, curve, reference, delta);
}

void encodeRGBSSE2(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    std::uint8_t* reference, std::uint8_t* delta)
{
    encodeRGBComposed<rgbWords, xorSSE2>(src, srcStride, width, height, reference, delta);
}

// One pixel of the fused pass, for the tails of the vector kernels.
inline void encodeGreyPixel(const std::uint8_t* p, const ToneCurve* curve, std::uint8_t* reference,
    std::uint8_t* delta)
{
    std::uint8_t v = greyOf(p);
    if (curve) v = (*curve)[v];
    *delta = v ^ *reference;
    *reference = v;
}

void encodeGreyTail(const std::uint8_t* row, const ToneCurve* curve, std::uint8_t* reference,
    std::uint8_t* delta, int from, int width)
{
    for (int x = from; x < width; ++x) encodeGreyPixel(row + 4 * x, curve, reference + x, delta + x);
}

void encodeRGBTail(const std::uint8_t* row, std::uint8_t* reference, std::uint8_t* delta, int from, int width)
{
    for (int x = from; x < width; ++x) {
        const std::uint8_t* p = row + 4 * x;
        const std::uint8_t rgb[3] = {p[2], p[1], p[0]};
        for (int k = 0; k < 3; ++k) {
            delta[3 * x + k] = rgb[k] ^ reference[3 * x + k];
            reference[3 * x + k] = rgb[k];
        }
    }
}

// ---------------------------------------------------------------- AVX2 set

// Grey through vpmaddubsw, which multiplies unsigned by signed bytes. The
// weights (29, 150, 77, 0) fit unsigned bytes; the pixels are made signed by
// flipping their top bit (p − 128), which moves every sum by −128·256 =
// −32768. Each pair sum stays inside int16 (no saturation), the two pairs of
// a pixel add up to at least −32768 and at most 32512, and adding 0x8000 back
// as an unsigned 16-bit value restores the exact sum 0..65280.
__attribute__((target("avx2"), always_inline)) inline __m256i greyPairsAVX2(const std::uint8_t* p,
    __m256i weights, __m256i flip)
{
    __m256i px = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), flip);
    return _mm256_maddubs_epi16(weights, px);
}

__attribute__((target("avx2"))) void greyAVX2(const std::uint8_t* src, std::size_t srcStride,
    std::uint8_t* dst, int width, int height)
{
    const __m256i weights = _mm256_set1_epi32(static_cast<int>(
        WEIGHT_B | (WEIGHT_G << 8) | (WEIGHT_R << 16)));
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i bias = _mm256_set1_epi16(static_cast<short>(0x8000));
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        std::uint8_t* out = dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            const std::uint8_t* p = row + 4 * x;
            __m256i s01 = _mm256_hadd_epi16(greyPairsAVX2(p, weights, flip), greyPairsAVX2(p + 32, weights, flip));
            __m256i s23 = _mm256_hadd_epi16(greyPairsAVX2(p + 64, weights, flip), greyPairsAVX2(p + 96, weights, flip));
            s01 = _mm256_srli_epi16(_mm256_add_epi16(s01, bias), 8);
            s23 = _mm256_srli_epi16(_mm256_add_epi16(s23, bias), 8);
            // packus works within 128-bit lanes; put the 4-pixel groups back in order.
            __m256i packed = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(s01, s23), order);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), packed);
        }
        greyTail(row, out, x, width);
    }
}

// 32 BGRA pixels to 96 packed RGB bytes in three registers. vpshufb puts
// each 128-bit lane's four pixels as twelve bytes at the bottom of the lane
// (dwords 0-2 and 4-6 of a register); each output register is then two
// vpermd of neighbouring inputs and one dword blend. Against 16-byte steps
// it halves the stores and the shuffles per pixel.
struct RGB96 {
    __m256i first, second, third;
};

__attribute__((target("avx2"), always_inline)) inline __m256i rgb24AVX2(const std::uint8_t* p)
{
    const __m256i pick = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
        10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), pick);
}

__attribute__((target("avx2"), always_inline)) inline RGB96 rgb96AVX2(const std::uint8_t* p)
{
    const __m256i a = rgb24AVX2(p), b = rgb24AVX2(p + 32), c = rgb24AVX2(p + 64), d = rgb24AVX2(p + 96);
    const __m256i first = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 0, 0)),
        _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(0, 0, 0, 0, 0, 0, 0, 1)), 0xC0);
    const __m256i second = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(2, 4, 5, 6, 0, 0, 0, 0)),
        _mm256_permutevar8x32_epi32(c, _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 2, 4)), 0xF0);
    const __m256i third = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(c, _mm256_setr_epi32(5, 6, 0, 0, 0, 0, 0, 0)),
        _mm256_permutevar8x32_epi32(d, _mm256_setr_epi32(0, 0, 0, 1, 2, 4, 5, 6)), 0xFC);
    return {first, second, third};
}

__attribute__((target("avx2"))) void rgbAVX2(const std::uint8_t* src, std::size_t srcStride,
    std::uint8_t* dst, int width, int height)
{
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        std::uint8_t* out = dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            const RGB96 v = rgb96AVX2(row + 4 * x);
            __m256i* o = reinterpret_cast<__m256i*>(out + 3 * x);
            _mm256_storeu_si256(o, v.first);
            _mm256_storeu_si256(o + 1, v.second);
            _mm256_storeu_si256(o + 2, v.third);
        }
        rgbTail(row, out, x, width);
    }
}

// A 256-entry lookup from sixteen 16-entry vpshufb tables, one per high
// nibble. vpshufb reads only bits 0-3 and bit 7 of an index and gives 0 when
// bit 7 is set, so tables h and h + 8 take one step between them: looked up
// with x and with x XOR 0x80, one of the two is zero and their OR is table
// h + 8·(bit 7) at the low nibble. A tree of blends on bits 4, 5 and 6 then
// picks one of the eight: 16 lookups and 7 blends per 32 bytes.
__attribute__((target("avx2"), always_inline)) inline __m256i lookupAVX2(const __m256i* tables, __m256i x)
{
    const __m256i flipped = _mm256_xor_si256(x, _mm256_set1_epi8(static_cast<char>(0x80)));
    __m256i level[8];
    for (int h = 0; h < 8; ++h) {
        level[h] = _mm256_or_si256(_mm256_shuffle_epi8(tables[h], x), _mm256_shuffle_epi8(tables[h + 8], flipped));
    }
    // vpblendvb picks by each byte's top bit; a 16-bit shift by 3, 2 and 1
    // brings bit 4, 5 and 6 of every byte there.
    const __m256i bit4 = _mm256_slli_epi16(x, 3);
    for (int h = 0; h < 4; ++h) level[h] = _mm256_blendv_epi8(level[2 * h], level[2 * h + 1], bit4);
    const __m256i bit5 = _mm256_slli_epi16(x, 2);
    for (int h = 0; h < 2; ++h) level[h] = _mm256_blendv_epi8(level[2 * h], level[2 * h + 1], bit5);
    return _mm256_blendv_epi8(level[0], level[1], _mm256_slli_epi16(x, 1));
}

__attribute__((target("avx2"))) void loadTablesAVX2(const ToneCurve& curve, __m256i* tables)
{
    for (int h = 0; h < 16; ++h) {
        tables[h] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(curve.data() + 16 * h)));
    }
}

__attribute__((target("avx2"))) void toneCurveAVX2(const ToneCurve& curve, std::uint8_t* data,
    std::size_t count)
{
    __m256i tables[16];
    loadTablesAVX2(curve, tables);
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(data + i), lookupAVX2(tables, x));
    }
    for (; i < count; ++i) data[i] = curve[data[i]];
}

__attribute__((target("avx2"))) void xorAVX2(const std::uint8_t* current,
    const std::uint8_t* previous, std::uint8_t* delta, std::int64_t count)
{
    if (count <= 0) return;
    std::int64_t i = 0;
    for (; i + 128 <= count; i += 128) {
        for (int k = 0; k < 128; k += 32) {
            __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(current + i + k));
            __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(previous + i + k));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(delta + i + k), _mm256_xor_si256(a, b));
        }
    }
    for (; i + 8 <= count; i += 8) store64(delta + i, load64(current + i) ^ load64(previous + i));
    xorTail(current, previous, delta, i, count);
}

// 32 grey bytes of 32 pixels, as greyAVX2 computes them.
__attribute__((target("avx2"), always_inline)) inline __m256i grey32AVX2(const std::uint8_t* p)
{
    const __m256i weights = _mm256_set1_epi32(static_cast<int>(WEIGHT_B | (WEIGHT_G << 8) | (WEIGHT_R << 16)));
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i bias = _mm256_set1_epi16(static_cast<short>(0x8000));
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    __m256i s01 = _mm256_hadd_epi16(greyPairsAVX2(p, weights, flip), greyPairsAVX2(p + 32, weights, flip));
    __m256i s23 = _mm256_hadd_epi16(greyPairsAVX2(p + 64, weights, flip), greyPairsAVX2(p + 96, weights, flip));
    s01 = _mm256_srli_epi16(_mm256_add_epi16(s01, bias), 8);
    s23 = _mm256_srli_epi16(_mm256_add_epi16(s23, bias), 8);
    return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(s01, s23), order);
}

template <bool WithCurve>
__attribute__((target("avx2"))) void encodeGreyAVX2Rows(const std::uint8_t* src, std::size_t srcStride,
    int width, int height, const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta)
{
    __m256i tables[16];
    // Flat stretches of a desktop (backgrounds, margins, blank lines) give
    // runs of identical grey blocks: the last block looked up and its result
    // are kept, and a block equal to it skips the lookup.
    __m256i lastIn = _mm256_setzero_si256();
    __m256i lastOut = _mm256_setzero_si256();
    if constexpr (WithCurve) {
        loadTablesAVX2(*curve, tables);
        lastOut = _mm256_set1_epi8(static_cast<char>((*curve)[0]));
    }
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        std::uint8_t* ref = reference + out;
        std::uint8_t* d = delta + out;
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            prefetchAhead(row + 4 * x, 2);
            __m256i v = grey32AVX2(row + 4 * x);
            if constexpr (WithCurve) {
                if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lastIn)) != -1) {
                    lastIn = v;
                    lastOut = lookupAVX2(tables, v);
                }
                v = lastOut;
            }
            const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ref + x));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + x), _mm256_xor_si256(v, before));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(ref + x), v);
        }
        encodeGreyTail(row, curve, ref, d, x, width);
    }
}

void encodeGreyAVX2(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta)
{
    if (curve) {
        encodeGreyAVX2Rows<true>(src, srcStride, width, height, curve, reference, delta);
    } else {
        encodeGreyAVX2Rows<false>(src, srcStride, width, height, curve, reference, delta);
    }
}

__attribute__((target("avx2"), always_inline)) inline void encodeBytes32(__m256i v, std::uint8_t* reference,
    std::uint8_t* delta)
{
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(reference));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(delta), _mm256_xor_si256(v, before));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(reference), v);
}

__attribute__((target("avx2"))) void encodeRGBAVX2(const std::uint8_t* src, std::size_t srcStride, int width,
    int height, std::uint8_t* reference, std::uint8_t* delta)
{
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
        std::uint8_t* ref = reference + out;
        std::uint8_t* d = delta + out;
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            const std::uint8_t* p = row + 4 * x;
            prefetchAhead(p, 2);
            const RGB96 v = rgb96AVX2(p);
            const std::size_t o = 3 * static_cast<std::size_t>(x);
            encodeBytes32(v.first, ref + o, d + o);
            encodeBytes32(v.second, ref + o + 32, d + o + 32);
            encodeBytes32(v.third, ref + o + 64, d + o + 64);
        }
        encodeRGBTail(row, ref, d, x, width);
    }
}

// ---------------------------------------------------------------- AVX-512 fused grey

// GCC 12's AVX-512 headers fill unused lanes from a self-initialised
// "undefined" register, which its own flow analysis then reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// The last 1-63 pixels of a row go through the same vector code: copied to
// a zeroed block first, their results stored under a mask.
struct TailBlock {
    alignas(64) std::uint8_t pixels[256];
    __mmask64 mask;
    TailBlock(const std::uint8_t* row, int count)
        : pixels{}
        , mask((~0ULL) >> (64 - count))
    {
        std::memcpy(pixels, row, 4 * static_cast<std::size_t>(count));
    }
};

__attribute__((target("avx512f,avx512bw"), always_inline)) inline void encodeBytesMasked(__m512i v,
    __mmask64 mask, std::uint8_t* reference, std::uint8_t* delta)
{
    const __m512i before = _mm512_maskz_loadu_epi8(mask, reference);
    _mm512_mask_storeu_epi8(delta, mask, _mm512_xor_si512(v, before));
    _mm512_mask_storeu_epi8(reference, mask, v);
}

// 16 pixels to 16 sums in 32-bit lanes, (29·B + 150·G + 77·R) >> 8, with the
// sign flip of greyPairsAVX2 and vpmaddwd adding the two pairs of a pixel.
__attribute__((target("avx512f,avx512bw"), always_inline)) inline __m512i greySums512(const std::uint8_t* p)
{
    const __m512i weights = _mm512_set1_epi32(static_cast<int>(WEIGHT_B | (WEIGHT_G << 8) | (WEIGHT_R << 16)));
    const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
    const __m512i ones = _mm512_set1_epi16(1);
    const __m512i bias = _mm512_set1_epi32(0x8000);
    const __m512i px = _mm512_xor_si512(_mm512_loadu_si512(p), flip);
    const __m512i sums = _mm512_madd_epi16(_mm512_maddubs_epi16(weights, px), ones);
    return _mm512_srli_epi32(_mm512_add_epi32(sums, bias), 8);
}

// 64 grey bytes of 64 pixels, in pixel order.
__attribute__((target("avx512f,avx512bw"), always_inline)) inline __m512i grey64AVX512(const std::uint8_t* p)
{
    // The packs work within 128-bit lanes: lane k ends up with four pixels of
    // each input; the permutation puts the groups of four back in order.
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m512i ab = _mm512_packus_epi32(greySums512(p), greySums512(p + 64));
    const __m512i cd = _mm512_packus_epi32(greySums512(p + 128), greySums512(p + 192));
    return _mm512_permutexvar_epi32(order, _mm512_packus_epi16(ab, cd));
}

__attribute__((target("avx512f,avx512bw"))) void greyAVX512(const std::uint8_t* src, std::size_t srcStride,
    std::uint8_t* dst, int width, int height)
{
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        std::uint8_t* out = dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        int x = 0;
        for (; x + 64 <= width; x += 64) _mm512_storeu_si512(out + x, grey64AVX512(row + 4 * x));
        if (x < width) {
            const TailBlock tail(row + 4 * x, width - x);
            _mm512_mask_storeu_epi8(out + x, tail.mask, grey64AVX512(tail.pixels));
        }
    }
}

// With VNNI and VBMI: vpdpbusd sums the four weighted bytes of a pixel
// onto a bias in one step (the same sign flip: the bias 0x8000 makes up for
// it, so each 32-bit lane holds the exact sum 0..65280), and byte 1 of each
// lane is the grey value, which two vpermi2b gather in pixel order.
#define QB_VNNI_TARGET "avx512f,avx512bw,avx512vbmi,avx512vnni"

__attribute__((target(QB_VNNI_TARGET), always_inline)) inline __m512i greySumsVNNI(const std::uint8_t* p)
{
    const __m512i weights = _mm512_set1_epi32(static_cast<int>(WEIGHT_B | (WEIGHT_G << 8) | (WEIGHT_R << 16)));
    const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
    const __m512i bias = _mm512_set1_epi32(0x8000);
    return _mm512_dpbusd_epi32(bias, weights, _mm512_xor_si512(_mm512_loadu_si512(p), flip));
}

__attribute__((target(QB_VNNI_TARGET), always_inline)) inline __m512i grey64VNNI(const std::uint8_t* p)
{
    // Output byte j < 32 is byte 1 of lane j of the pair (bit 6 of the index
    // picks the second source); the upper half repeats it for the other pair.
    alignas(64) static constexpr std::uint8_t LOW[64] = {1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41, 45, 49, 53, 57, 61,
        65, 69, 73, 77, 81, 85, 89, 93, 97, 101, 105, 109, 113, 117, 121, 125, 1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41,
        45, 49, 53, 57, 61, 65, 69, 73, 77, 81, 85, 89, 93, 97, 101, 105, 109, 113, 117, 121, 125};
    const __m512i index = _mm512_load_si512(LOW);
    const __m512i ab = _mm512_permutex2var_epi8(greySumsVNNI(p), index, greySumsVNNI(p + 64));
    const __m512i cd = _mm512_permutex2var_epi8(greySumsVNNI(p + 128), index, greySumsVNNI(p + 192));
    return _mm512_mask_blend_epi8(0xFFFFFFFF00000000ULL, ab, cd);
}

__attribute__((target(QB_VNNI_TARGET))) void greyVNNI(const std::uint8_t* src, std::size_t srcStride,
    std::uint8_t* dst, int width, int height)
{
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        std::uint8_t* out = dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        int x = 0;
        for (; x + 64 <= width; x += 64) _mm512_storeu_si512(out + x, grey64VNNI(row + 4 * x));
        if (x < width) {
            const TailBlock tail(row + 4 * x, width - x);
            _mm512_mask_storeu_epi8(out + x, tail.mask, grey64VNNI(tail.pixels));
        }
    }
}

__attribute__((target("avx512f,avx512bw"), always_inline)) inline void encodeBytes64(__m512i v,
    std::uint8_t* reference, std::uint8_t* delta)
{
    const __m512i before = _mm512_loadu_si512(reference);
    _mm512_storeu_si512(delta, _mm512_xor_si512(v, before));
    _mm512_storeu_si512(reference, v);
}

// lookupAVX2 on 64 bytes, the blends under masks of bits 4, 5 and 6.
__attribute__((target("avx512f,avx512bw"), always_inline)) inline __m512i lookupAVX512BW(const __m512i* tables,
    __m512i x)
{
    const __m512i flipped = _mm512_xor_si512(x, _mm512_set1_epi8(static_cast<char>(0x80)));
    __m512i level[8];
    for (int h = 0; h < 8; ++h) {
        level[h] = _mm512_or_si512(_mm512_shuffle_epi8(tables[h], x), _mm512_shuffle_epi8(tables[h + 8], flipped));
    }
    const __mmask64 bit4 = _mm512_test_epi8_mask(x, _mm512_set1_epi8(0x10));
    for (int h = 0; h < 4; ++h) level[h] = _mm512_mask_blend_epi8(bit4, level[2 * h], level[2 * h + 1]);
    const __mmask64 bit5 = _mm512_test_epi8_mask(x, _mm512_set1_epi8(0x20));
    for (int h = 0; h < 2; ++h) level[h] = _mm512_mask_blend_epi8(bit5, level[2 * h], level[2 * h + 1]);
    return _mm512_mask_blend_epi8(_mm512_test_epi8_mask(x, _mm512_set1_epi8(0x40)), level[0], level[1]);
}

// The fused AVX-512 encode passes take a row 64 pixels at a time: the
// block at x, its last 1-63 pixels copied out to a TailBlock (nothing for a
// whole block), and the encode of its 64 grey bytes against the reference,
// under the tail's mask.
inline std::optional<TailBlock> tailBlockAt(const std::uint8_t* row, int x, int width)
{
    if (width - x >= 64) return std::nullopt;
    return std::optional<TailBlock>(std::in_place, row + 4 * x, width - x);
}

__attribute__((target("avx512f,avx512bw"), always_inline)) inline void encodeBlock(__m512i v,
    const std::optional<TailBlock>& tail, std::uint8_t* reference, std::uint8_t* delta)
{
    if (tail) {
        encodeBytesMasked(v, tail->mask, reference, delta);
    } else {
        encodeBytes64(v, reference, delta);
    }
}

template <bool WithCurve>
__attribute__((target("avx512f,avx512bw"))) void encodeGreyAVX512BWRows(const std::uint8_t* src,
    std::size_t srcStride, int width, int height, const ToneCurve* curve, std::uint8_t* reference,
    std::uint8_t* delta)
{
    __m512i tables[16];
    // The last block looked up and its result, as in encodeGreyAVX2Rows.
    __m512i lastIn = _mm512_setzero_si512();
    __m512i lastOut = _mm512_setzero_si512();
    if constexpr (WithCurve) {
        for (int h = 0; h < 16; ++h) {
            tables[h] = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(curve->data() + 16 * h)));
        }
        lastOut = _mm512_set1_epi8(static_cast<char>((*curve)[0]));
    }
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; x += 64) {
            const std::optional<TailBlock> tail = tailBlockAt(row, x, width);
            prefetchAhead(row + 4 * x, 4);
            __m512i v = grey64AVX512(tail ? tail->pixels : row + 4 * x);
            if constexpr (WithCurve) {
                if (_mm512_cmpneq_epi8_mask(v, lastIn) != 0) {
                    lastIn = v;
                    lastOut = lookupAVX512BW(tables, v);
                }
                v = lastOut;
            }
            encodeBlock(v, tail, reference + out + x, delta + out + x);
        }
    }
}

void encodeGreyAVX512BW(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta)
{
    if (curve) {
        encodeGreyAVX512BWRows<true>(src, srcStride, width, height, curve, reference, delta);
    } else {
        encodeGreyAVX512BWRows<false>(src, srcStride, width, height, curve, reference, delta);
    }
}

// The tone curve by two vpermi2b lookups and a blend on each byte's top bit.
template <bool WithCurve>
__attribute__((target(QB_VNNI_TARGET))) void encodeGreyVBMIRows(const std::uint8_t* src, std::size_t srcStride,
    int width, int height, const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta)
{
    __m512i t0, t1, t2, t3;
    if constexpr (WithCurve) {
        t0 = _mm512_loadu_si512(curve->data());
        t1 = _mm512_loadu_si512(curve->data() + 64);
        t2 = _mm512_loadu_si512(curve->data() + 128);
        t3 = _mm512_loadu_si512(curve->data() + 192);
    }
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + static_cast<std::size_t>(y) * srcStride;
        const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; x += 64) {
            const std::optional<TailBlock> tail = tailBlockAt(row, x, width);
            prefetchAhead(row + 4 * x, 4);
            __m512i v = grey64VNNI(tail ? tail->pixels : row + 4 * x);
            if constexpr (WithCurve) {
                const __m512i low = _mm512_permutex2var_epi8(t0, v, t1);
                const __m512i high = _mm512_permutex2var_epi8(t2, v, t3);
                v = _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high);
            }
            encodeBlock(v, tail, reference + out + x, delta + out + x);
        }
    }
}

void encodeGreyVBMI(const std::uint8_t* src, std::size_t srcStride, int width, int height, const ToneCurve* curve,
    std::uint8_t* reference, std::uint8_t* delta)
{
    if (curve) {
        encodeGreyVBMIRows<true>(src, srcStride, width, height, curve, reference, delta);
    } else {
        encodeGreyVBMIRows<false>(src, srcStride, width, height, curve, reference, delta);
    }
}

#pragma GCC diagnostic pop

// ------------------------------------------------- AVX-512 VBMI tone curve

// vpermi2b looks up 128 entries at once; two of them and a blend on the top
// bit of each byte cover the whole table, 64 bytes at a time.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void toneCurveVBMI(const ToneCurve& curve,
    std::uint8_t* data, std::size_t count)
{
    const __m512i t0 = _mm512_loadu_si512(curve.data());
    const __m512i t1 = _mm512_loadu_si512(curve.data() + 64);
    const __m512i t2 = _mm512_loadu_si512(curve.data() + 128);
    const __m512i t3 = _mm512_loadu_si512(curve.data() + 192);
    std::size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const __m512i x = _mm512_loadu_si512(data + i);
        const __m512i low = _mm512_permutex2var_epi8(t0, x, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, x, t3);
        _mm512_storeu_si512(data + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high));
    }
    if (i < count) {
        // The last bytes through a masked load and store, never past the end.
        const __mmask64 mask = (~0ULL) >> (64 - (count - i));
        const __m512i x = _mm512_maskz_loadu_epi8(mask, data + i);
        const __m512i low = _mm512_permutex2var_epi8(t0, x, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, x, t3);
        _mm512_mask_storeu_epi8(data + i, mask, _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high));
    }
}

const PixelKernelSet SCALAR_SET{SimdLevel::scalar, scalar::convertBGRAToGrey, scalar::convertBGRAToRGB,
    scalar::applyToneCurve, scalar::xorDeltaBuffers, scalar::encodeRowsGrey, scalar::encodeRowsRGB};
const PixelKernelSet SSE2_SET{SimdLevel::sse2, greySSE2, rgbWords, toneCurveUnrolled, xorSSE2, encodeGreySSE2,
    encodeRGBSSE2};
const PixelKernelSet AVX2_SET{SimdLevel::avx2, greyAVX2, rgbAVX2, toneCurveAVX2, xorAVX2, encodeGreyAVX2,
    encodeRGBAVX2};
const PixelKernelSet AVX512BW_SET{SimdLevel::avx512bw, greyAVX512, rgbAVX2, toneCurveAVX2, xorAVX2,
    encodeGreyAVX512BW, encodeRGBAVX2};
const PixelKernelSet AVX512VBMI_SET{SimdLevel::avx512vbmi, greyVNNI, rgbAVX2, toneCurveVBMI, xorAVX2,
    encodeGreyVBMI, encodeRGBAVX2};

bool hasAVX2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool hasAVX512BW()
{
    __builtin_cpu_init();
    return hasAVX2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

bool hasVBMI()
{
    __builtin_cpu_init();
    return hasAVX512BW() && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vnni");
}

} // namespace

namespace scalar {

void convertBGRAToGrey(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
    int width, int height)
{
    for (int y = 0; y < height; ++y) {
        greyTail(src + static_cast<std::size_t>(y) * srcStride,
            dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width), 0, width);
    }
}

void convertBGRAToRGB(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
    int width, int height)
{
    for (int y = 0; y < height; ++y) {
        rgbTail(src + static_cast<std::size_t>(y) * srcStride,
            dst + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3, 0, width);
    }
}

void applyToneCurve(const ToneCurve& curve, std::uint8_t* data, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) data[i] = curve[data[i]];
}

// 64-bit words, then the last 0-7 bytes singly.
void xorDeltaBuffers(const std::uint8_t* current, const std::uint8_t* previous, std::uint8_t* delta,
    std::int64_t count)
{
    if (count <= 0) return;
    std::int64_t i = 0;
    for (; i + 8 <= count; i += 8) store64(delta + i, load64(current + i) ^ load64(previous + i));
    xorTail(current, previous, delta, i, count);
}

void encodeRowsGrey(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta)
{
    for (int y = 0; y < height; ++y) {
        const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        encodeGreyTail(src + static_cast<std::size_t>(y) * srcStride, curve, reference + out, delta + out, 0, width);
    }
}

void encodeRowsRGB(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    std::uint8_t* reference, std::uint8_t* delta)
{
    for (int y = 0; y < height; ++y) {
        const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
        encodeRGBTail(src + static_cast<std::size_t>(y) * srcStride, reference + out, delta + out, 0, width);
    }
}

} // namespace scalar

bool toneCurveIsIdentity(double contrast, double gamma)
{
    return std::abs(contrast - 1.0) <= 0.01 && std::abs(gamma - 1.0) <= 0.01;
}

ToneCurve makeToneCurve(double contrast, double gamma)
{
    ToneCurve curve{};
    const bool applyGamma = std::abs(gamma - 1.0) > 0.01;
    const bool applyContrast = std::abs(contrast - 1.0) > 0.01;
    for (int i = 0; i < 256; ++i) {
        double v = i / 255.0;
        if (applyGamma) v = std::pow(v, 1.0 / gamma);
        const double out = applyContrast ? contrast * (v * 255.0 - 128.0) + 128.0 : v * 255.0;
        // Truncate toward zero first, then clamp; NaN (a nonsensical gamma) maps to 0.
        const double truncated = std::trunc(out);
        const double clamped = std::isnan(truncated) ? 0.0 : std::clamp(truncated, 0.0, 255.0);
        curve[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(clamped);
    }
    return curve;
}

const PixelKernelSet& activePixelKernels()
{
    static const PixelKernelSet& chosen = []() -> const PixelKernelSet& {
        // A lesser set asked for (to measure it), if this processor has it.
        if (const std::string& wanted = requestedPixelKernels(); !wanted.empty()) {
            for (const SimdLevel level : {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512bw,
                     SimdLevel::avx512vbmi}) {
                if (simdLevelName(level) != wanted) continue;
                if (const PixelKernelSet* set = pixelKernels(level)) return *set;
            }
        }
        return hasVBMI()   ? AVX512VBMI_SET
            : hasAVX512BW() ? AVX512BW_SET
            : hasAVX2()     ? AVX2_SET
                            : SSE2_SET;
    }();
    return chosen;
}

const PixelKernelSet* pixelKernels(SimdLevel level)
{
    switch (level) {
    case SimdLevel::scalar: return &SCALAR_SET;
    case SimdLevel::sse2: return &SSE2_SET;
    case SimdLevel::avx2: return hasAVX2() ? &AVX2_SET : nullptr;
    case SimdLevel::avx512bw: return hasAVX512BW() ? &AVX512BW_SET : nullptr;
    case SimdLevel::avx512vbmi: return hasVBMI() ? &AVX512VBMI_SET : nullptr;
    }
    return nullptr;
}

std::string_view simdLevelName(SimdLevel level)
{
    switch (level) {
    case SimdLevel::scalar: return "scalar";
    case SimdLevel::sse2: return "sse2";
    case SimdLevel::avx2: return "avx2";
    case SimdLevel::avx512bw: return "avx512bw";
    case SimdLevel::avx512vbmi: return "avx512vbmi";
    }
    return "unknown";
}

void convertBGRAToGrey(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
    int width, int height)
{
    activePixelKernels().toGrey(src, srcStride, dst, width, height);
}

void convertBGRAToRGB(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst,
    int width, int height)
{
    activePixelKernels().toRGB(src, srcStride, dst, width, height);
}

void applyToneCurve(const ToneCurve& curve, std::uint8_t* data, std::size_t count)
{
    activePixelKernels().toneCurve(curve, data, count);
}

void xorDeltaBuffers(const std::uint8_t* current, const std::uint8_t* previous, std::uint8_t* delta,
    std::int64_t count)
{
    activePixelKernels().xorDelta(current, previous, delta, count);
}

void encodeRowsGrey(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    const ToneCurve* curve, std::uint8_t* reference, std::uint8_t* delta)
{
    activePixelKernels().encodeGrey(src, srcStride, width, height, curve, reference, delta);
}

void encodeRowsRGB(const std::uint8_t* src, std::size_t srcStride, int width, int height,
    std::uint8_t* reference, std::uint8_t* delta)
{
    activePixelKernels().encodeRGB(src, srcStride, width, height, reference, delta);
}

} // namespace qb
