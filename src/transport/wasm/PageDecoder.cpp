// The tablet page's decoder in WebAssembly: freestanding C++ (no library at
// all) built for wasm32 at build time, once with SIMD128 and once without;
// the daemon embeds both in the page (TabletPageDecoder.h), which takes the
// SIMD one where the browser validates it and its plain JavaScript decoder
// where WebAssembly is missing. It decodes exactly as the JavaScript one:
// a raw LZ4 block into the delta, then a keyframe copied or a delta XORed
// onto the frame, row by row, and each changed row expanded to the RGBA
// pixels the canvas is painted from.
//
// Memory, set out by setup() from __heap_base: frame, delta, RGBA pixels,
// then the input (payload) area, which reserve() grows. The page makes its
// views of the memory after setup() and reserve(), which may grow it.
using u8 = unsigned char;
using u32 = unsigned int;
using usize = decltype(sizeof 0);

extern "C" u8 __heap_base;

#ifdef __wasm_simd128__
#include <wasm_simd128.h>
#endif

namespace {

u32 width_ = 0, height_ = 0, bpp_ = 1, size_ = 0;
u8* frame_ = nullptr;
u8* delta_ = nullptr;
u8* rgba_ = nullptr;
u8* input_ = nullptr;
u32 inputCapacity_ = 0;
int first_ = 0, last_ = -1;
bool dither_ = false;
bool expand_ = true; // RGBA pixels kept: a WebGL page takes the frame's bytes itself

// The 4x4 ordered-dither thresholds, 0-15.
constexpr u8 BAYER[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};

u32 align(u32 n) { return (n + 15u) & ~15u; }

// Makes the memory at least `bytes` long; false when the browser refuses.
bool ensure(usize bytes)
{
    const usize have = __builtin_wasm_memory_size(0) * 65536u;
    if (bytes <= have) return true;
    const usize pages = (bytes - have + 65535u) / 65536u;
    return __builtin_wasm_memory_grow(0, pages) != usize(-1);
}

// 16 bytes from `from` to `to`, which lie at least 16 bytes apart.
inline void copy16(u8* to, const u8* from)
{
#ifdef __wasm_simd128__
    wasm_v128_store(to, wasm_v128_load(from));
#else
    unsigned long long a, b;
    __builtin_memcpy(&a, from, 8);
    __builtin_memcpy(&b, from + 8, 8);
    __builtin_memcpy(to, &a, 8);
    __builtin_memcpy(to + 8, &b, 8);
#endif
}

// A match closer than 16 bytes (most of a delta's zeros are such runs):
// `len` bytes at `to` repeating the `offset` bytes before it, sixteen bytes
// a store. The first sixteen are the pattern repeated; after them any
// sixteen bytes at a multiple of `offset` are the same, so they are stored
// again at steps of the largest such multiple (STEP, no division). Writes
// up to 16 bytes past `len`, which the caller has room for and later
// sequences overwrite.
constexpr u8 STEP[16] = {0, 16, 16, 15, 16, 15, 12, 14, 16, 9, 10, 11, 12, 13, 14, 15};
inline void repeat(u8* to, u32 offset, u32 len)
{
    const u32 step = STEP[offset];
#ifdef __wasm_simd128__
    // PATTERN[offset - 1][i] = i % offset: which byte of the last `offset` is i's.
    static constexpr auto PATTERN = [] {
        struct {
            u8 at[15][16];
        } table{};
        for (u32 o = 1; o < 16; ++o) {
            for (u32 i = 0; i < 16; ++i) table.at[o - 1][i] = u8(i % o);
        }
        return table;
    }();
    const v128_t pattern = wasm_i8x16_swizzle(wasm_v128_load(to - offset), wasm_v128_load(PATTERN.at[offset - 1]));
    wasm_v128_store(to, pattern);
    for (u32 i = step; i < len; i += step) wasm_v128_store(to + i, pattern);
#else
    for (u32 i = 0; i < 16; ++i) to[i] = to[i - offset];
    unsigned long long a, b;
    __builtin_memcpy(&a, to, 8);
    __builtin_memcpy(&b, to + 8, 8);
    for (u32 i = step; i < len; i += step) {
        __builtin_memcpy(to + i, &a, 8);
        __builtin_memcpy(to + i + 8, &b, 8);
    }
#endif
}

// `len` bytes at `to` copying those `offset` before it, with room for 16
// bytes past `len` (see repeat()).
inline void match(u8* to, u32 offset, u32 len)
{
    if (offset >= 16) {
        for (u32 i = 0; i < len; i += 16) copy16(to + i, to - offset + i);
    } else {
        repeat(to, offset, len);
    }
}

// An extended count's bytes at src[s] (each 255 says another follows)
// added to `n`; false when the block ends first.
inline bool extend(const u8* src, u32 sl, u32& s, u32& n)
{
    u32 b;
    do {
        if (s >= sl) return false;
        b = src[s++];
        n += b;
    } while (b == 255);
    return true;
}

// A match of `len` bytes at dst + d copying those `offset` before them;
// false when it does not fit in `dl`.
inline bool copyMatch(u8* dst, u32 d, u32 dl, u32 offset, u32 len)
{
    if (len > dl - d) return false;
    if (dl - d >= len + 16) {
        match(dst + d, offset, len); // room to write past the match: sixteen bytes a store
    } else {
        for (u32 i = 0; i < len; ++i) dst[d + i] = dst[d - offset + i];
    }
    return true;
}

// A raw LZ4 block into dst; the bytes written, or -1.
int lz4(const u8* src, u32 sl, u8* dst, u32 dl)
{
    u32 s = 0, d = 0;
    while (s < sl) {
        // Far from both ends a sequence with few literals, as nearly all of
        // a delta's are (a scrolled page's is ~94,000 matches and ~1,000
        // literal bytes), needs fewer checks: its literals (14 at most) go
        // in one store and a short match (18 bytes at most) in two, with
        // room to spare before the end; only the offset is checked.
        const u32 token = src[s];
        if (sl - s > 32 && dl - d > 64 && token < 0xF0) {
            const u32 lit = token >> 4;
            copy16(dst + d, src + s + 1);
            s += 1 + lit;
            d += lit;
            const u32 offset = u32(src[s]) | (u32(src[s + 1]) << 8);
            s += 2;
            if (offset - 1 >= d) return -1; // 0, or before the start
            u32 len = token & 15;
            if (len != 15) {
                len += 4;
                if (offset >= 16) {
                    copy16(dst + d, dst + d - offset);
                    copy16(dst + d + 16, dst + d - offset + 16);
                } else {
                    repeat(dst + d, offset, len);
                }
            } else {
                if (!extend(src, sl, s, len)) return -1;
                len += 4;
                if (!copyMatch(dst, d, dl, offset, len)) return -1;
            }
            d += len;
            continue;
        }
        ++s;
        u32 lit = token >> 4;
        if (lit == 15 && !extend(src, sl, s, lit)) return -1;
        if (lit > sl - s || lit > dl - d) return -1;
        if (lit <= 16 && sl - s >= 16 && dl - d >= 16) {
            copy16(dst + d, src + s); // short literals: one wide copy, its tail rewritten later
        } else {
            __builtin_memcpy(dst + d, src + s, lit);
        }
        s += lit;
        d += lit;
        if (s == sl) break; // the last sequence is literals only
        if (sl - s < 2) return -1;
        const u32 offset = u32(src[s]) | (u32(src[s + 1]) << 8);
        s += 2;
        if (offset == 0 || offset > d) return -1;
        u32 len = token & 15;
        if (len == 15 && !extend(src, sl, s, len)) return -1;
        len += 4;
        if (!copyMatch(dst, d, dl, offset, len)) return -1;
        d += len;
    }
    return int(d);
}

// Row y of the frame into the RGBA pixels.
void paintRow(u32 y)
{
    const u8* in = frame_ + y * width_ * bpp_;
    u8* out = rgba_ + y * width_ * 4;
    u32 x = 0;
    if (bpp_ == 1 && dither_) {
        // 16 grey levels (multiples of 17), dithered; black and white stay so.
        u32* words = reinterpret_cast<u32*>(out);
        const u8* row = BAYER + (y & 3) * 4;
        for (; x < width_; ++x) {
            const u32 level = (u32(in[x]) * 240u + u32(row[x & 3]) * 255u + 127u) / 4080u;
            words[x] = 0xFF000000u | (level * 17u * 0x010101u);
        }
    } else if (bpp_ == 1) {
#ifdef __wasm_simd128__
        const v128_t alpha = wasm_i32x4_splat(int(0xFF000000u));
        for (; x + 16 <= width_; x += 16) {
            const v128_t g = wasm_v128_load(in + x);
            const v128_t a = wasm_i8x16_shuffle(g, g, 0, 0, 0, 16, 1, 1, 1, 16, 2, 2, 2, 16, 3, 3, 3, 16);
            const v128_t b = wasm_i8x16_shuffle(g, g, 4, 4, 4, 16, 5, 5, 5, 16, 6, 6, 6, 16, 7, 7, 7, 16);
            const v128_t c = wasm_i8x16_shuffle(g, g, 8, 8, 8, 16, 9, 9, 9, 16, 10, 10, 10, 16, 11, 11, 11, 16);
            const v128_t e = wasm_i8x16_shuffle(g, g, 12, 12, 12, 16, 13, 13, 13, 16, 14, 14, 14, 16, 15, 15, 15, 16);
            wasm_v128_store(out + x * 4, wasm_v128_or(wasm_v128_andnot(a, alpha), alpha));
            wasm_v128_store(out + x * 4 + 16, wasm_v128_or(wasm_v128_andnot(b, alpha), alpha));
            wasm_v128_store(out + x * 4 + 32, wasm_v128_or(wasm_v128_andnot(c, alpha), alpha));
            wasm_v128_store(out + x * 4 + 48, wasm_v128_or(wasm_v128_andnot(e, alpha), alpha));
        }
#endif
        u32* words = reinterpret_cast<u32*>(out);
        for (; x < width_; ++x) words[x] = 0xFF000000u | (u32(in[x]) * 0x010101u);
    } else {
        for (; x < width_; ++x, in += 3, out += 4) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            out[3] = 255;
        }
    }
}

// The delta's row y XORed onto the frame; whether it changed anything.
bool xorRow(u32 y)
{
    const u32 stride = width_ * bpp_;
    u8* f = frame_ + y * stride;
    const u8* d = delta_ + y * stride;
    u32 i = 0;
#ifdef __wasm_simd128__
    v128_t any = wasm_i32x4_splat(0);
    for (; i + 16 <= stride; i += 16) {
        const v128_t v = wasm_v128_load(d + i);
        wasm_v128_store(f + i, wasm_v128_xor(wasm_v128_load(f + i), v));
        any = wasm_v128_or(any, v);
    }
    bool changed = wasm_v128_any_true(any);
#else
    unsigned long long any = 0;
    for (; i + 8 <= stride; i += 8) {
        unsigned long long v, w;
        __builtin_memcpy(&v, d + i, 8);
        __builtin_memcpy(&w, f + i, 8);
        w ^= v;
        __builtin_memcpy(f + i, &w, 8);
        any |= v;
    }
    bool changed = any != 0;
#endif
    for (; i < stride; ++i) {
        f[i] ^= d[i];
        changed |= d[i] != 0;
    }
    return changed;
}

} // namespace

extern "C" {

// A picture of width x height at 1 (grey) or 3 (RGB) bytes a pixel, black;
// false when the memory cannot grow to it.
__attribute__((export_name("setup"))) bool setup(u32 width, u32 height, u32 bpp)
{
    width_ = width;
    height_ = height;
    bpp_ = bpp == 3 ? 3 : 1;
    size_ = width * height * bpp_;
    const u32 base = align(u32(reinterpret_cast<usize>(&__heap_base)));
    const u32 pixels = width * height * 4;
    if (!ensure(usize(base) + align(size_) * 2 + align(pixels) + 65536u)) return false;
    frame_ = reinterpret_cast<u8*>(usize(base));
    delta_ = frame_ + align(size_);
    rgba_ = delta_ + align(size_);
    input_ = rgba_ + align(pixels);
    inputCapacity_ = 65536u;
    __builtin_memset(frame_, 0, size_);
    for (u32 i = 0; i < width * height; ++i) reinterpret_cast<u32*>(rgba_)[i] = 0xFF000000u;
    return true;
}

// Room for a payload of `bytes`; where to write it, or 0.
__attribute__((export_name("reserve"))) u32 reserve(u32 bytes)
{
    if (bytes > inputCapacity_) {
        if (!ensure(reinterpret_cast<usize>(input_) + bytes)) return 0;
        inputCapacity_ = bytes;
    }
    return u32(reinterpret_cast<usize>(input_));
}

// Paints with 16 dithered grey levels (a grey picture only) or every level;
// then every row again.
__attribute__((export_name("setDither"))) void setDither(bool on)
{
    dither_ = on;
    for (u32 y = 0; y < height_; ++y) paintRow(y);
}

// Keeps the RGBA pixels from now on (painting every row now) or not.
__attribute__((export_name("setExpand"))) void setExpand(bool on)
{
    expand_ = on;
    if (on) {
        for (u32 y = 0; y < height_; ++y) paintRow(y);
    }
}

__attribute__((export_name("frame"))) u32 frame() { return u32(reinterpret_cast<usize>(frame_)); }
__attribute__((export_name("pixels"))) u32 pixels() { return u32(reinterpret_cast<usize>(rgba_)); }
__attribute__((export_name("first"))) int first() { return first_; }
__attribute__((export_name("last"))) int last() { return last_; }

// The payload of `length` bytes in the input area onto the picture: rows
// first()..last() changed (none when last() < first()); false when it cannot
// be decoded.
__attribute__((export_name("apply"))) bool apply(bool keyframe, u32 length)
{
    first_ = int(height_);
    last_ = -1;
    if (length > inputCapacity_ || lz4(input_, length, delta_, size_) != int(size_)) return false;
    if (keyframe) {
        __builtin_memcpy(frame_, delta_, size_);
        for (u32 y = 0; expand_ && y < height_; ++y) paintRow(y);
        first_ = 0;
        last_ = int(height_) - 1;
        return true;
    }
    for (u32 y = 0; y < height_; ++y) {
        if (!xorRow(y)) continue;
        if (expand_) paintRow(y);
        if (first_ > int(y)) first_ = int(y);
        last_ = int(y);
    }
    return true;
}

} // extern "C"
