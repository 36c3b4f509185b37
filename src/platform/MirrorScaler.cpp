#include "platform/MirrorScaler.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <emmintrin.h>

#include "runtime/Clock.h"

namespace qb {

ScaledArea letterbox(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t targetWidth,
    std::size_t targetHeight)
{
    if (sourceWidth == 0 || sourceHeight == 0 || targetWidth == 0 || targetHeight == 0) return {};
    // Compare sourceW/sourceH with targetW/targetH without rounding.
    ScaledArea area;
    if (sourceWidth * targetHeight >= targetWidth * sourceHeight) {
        area.width = targetWidth;
        area.height = std::max<std::size_t>(1, (sourceHeight * targetWidth + sourceWidth / 2) / sourceWidth);
        area.height = std::min(area.height, targetHeight);
    } else {
        area.height = targetHeight;
        area.width = std::max<std::size_t>(1, (sourceWidth * targetHeight + sourceHeight / 2) / sourceHeight);
        area.width = std::min(area.width, targetWidth);
    }
    area.x = (targetWidth - area.width) / 2;
    area.y = (targetHeight - area.height) / 2;
    return area;
}

MirrorInputBounds mirrorInputBounds(double left, double top, double width, double height, std::size_t targetWidth,
    std::size_t targetHeight)
{
    MirrorInputBounds bounds{left, top, width, height};
    if (width <= 0 || height <= 0 || targetWidth == 0 || targetHeight == 0) return bounds;
    const auto area = letterbox(std::size_t(width), std::size_t(height), targetWidth, targetHeight);
    if (area.width == 0 || area.height == 0) return bounds;
    // Source pixels per target pixel, then the whole target in source pixels.
    const double scaleX = width / double(area.width);
    const double scaleY = height / double(area.height);
    bounds.width = double(targetWidth) * scaleX;
    bounds.height = double(targetHeight) * scaleY;
    bounds.left = left - double(area.x) * scaleX;
    bounds.top = top - double(area.y) * scaleY;
    return bounds;
}

void MirrorScaler::build(Axis& axis, std::size_t source, std::size_t target)
{
    axis.taps.assign(target, {});
    axis.weights.clear();
    // Positions in units of 1/(source*target): a source pixel spans `target`
    // units, a target pixel `source` units.
    for (std::size_t t = 0; t < target; ++t) {
        const std::size_t start = t * source;
        const std::size_t end = start + source;
        Taps& taps = axis.taps[t];
        taps.first = start / target;
        taps.weights = axis.weights.size();
        const std::size_t last = std::min(source - 1, (end - 1) / target);
        unsigned sum = 0;
        std::size_t heaviest = 0;
        std::size_t heaviestOverlap = 0;
        for (std::size_t i = taps.first; i <= last; ++i) {
            const std::size_t overlap = std::min(end, (i + 1) * target) - std::max(start, i * target);
            const auto weight = std::uint16_t(overlap * 256 / source);
            if (overlap > heaviestOverlap) {
                heaviestOverlap = overlap;
                heaviest = i - taps.first;
            }
            axis.weights.push_back(weight);
            sum += weight;
        }
        taps.count = last + 1 - taps.first;
        axis.weights[taps.weights + heaviest] = std::uint16_t(axis.weights[taps.weights + heaviest] + (256 - sum));
    }
}

void MirrorScaler::scale(const std::uint8_t* source, std::size_t sourceWidth, std::size_t sourceHeight,
    std::size_t sourceStride, std::uint8_t* target, std::size_t targetWidth, std::size_t targetHeight)
{
    if (targetWidth == 0 || targetHeight == 0) return;
    if (sourceWidth == 0 || sourceHeight == 0) {
        std::memset(target, 0, targetWidth * targetHeight * 4);
        return;
    }
    if (sourceWidth != sourceWidth_ || sourceHeight != sourceHeight_ || targetWidth != targetWidth_
        || targetHeight != targetHeight_) {
        sourceWidth_ = sourceWidth;
        sourceHeight_ = sourceHeight;
        targetWidth_ = targetWidth;
        targetHeight_ = targetHeight;
        area_ = letterbox(sourceWidth, sourceHeight, targetWidth, targetHeight);
        build(columns_, sourceWidth, area_.width);
        build(rows_, sourceHeight, area_.height);
        rowSum_.assign(sourceWidth * 4, 0);
    }

    const std::size_t targetStride = targetWidth * 4;
    // The bars: opaque black.
    auto fillBlack = [&](std::uint8_t* row, std::size_t pixels) {
        for (std::size_t i = 0; i < pixels; ++i) {
            row[i * 4 + 0] = row[i * 4 + 1] = row[i * 4 + 2] = 0;
            row[i * 4 + 3] = 0xFF;
        }
    };
    for (std::size_t row = 0; row < area_.y; ++row) fillBlack(target + row * targetStride, targetWidth);
    for (std::size_t row = area_.y + area_.height; row < targetHeight; ++row) {
        fillBlack(target + row * targetStride, targetWidth);
    }

    const std::size_t sourceBytes = sourceWidth * 4;
    std::uint16_t* sum = rowSum_.data();
    for (std::size_t row = 0; row < area_.height; ++row) {
        // Vertical pass: the weighted sum of the covered source rows, ×256.
        const Taps& vertical = rows_.taps[row];
        const std::uint16_t* vWeights = rows_.weights.data() + vertical.weights;
        {
            const std::uint8_t* line = source + vertical.first * sourceStride;
            const std::uint16_t w = vWeights[0];
            for (std::size_t i = 0; i < sourceBytes; ++i) sum[i] = std::uint16_t(line[i] * w);
        }
        for (std::size_t k = 1; k < vertical.count; ++k) {
            const std::uint8_t* line = source + (vertical.first + k) * sourceStride;
            const std::uint16_t w = vWeights[k];
            for (std::size_t i = 0; i < sourceBytes; ++i) sum[i] = std::uint16_t(sum[i] + line[i] * w);
        }

        // Horizontal pass over that row.
        std::uint8_t* out = target + (area_.y + row) * targetStride;
        fillBlack(out, area_.x);
        fillBlack(out + (area_.x + area_.width) * 4, targetWidth - area_.x - area_.width);
        out += area_.x * 4;
        for (std::size_t column = 0; column < area_.width; ++column) {
            const Taps& horizontal = columns_.taps[column];
            const std::uint16_t* hWeights = columns_.weights.data() + horizontal.weights;
            const std::uint16_t* in = sum + horizontal.first * 4;
            std::uint32_t b = 0, g = 0, r = 0, a = 0;
            for (std::size_t k = 0; k < horizontal.count; ++k) {
                const std::uint32_t w = hWeights[k];
                b += in[k * 4 + 0] * w;
                g += in[k * 4 + 1] * w;
                r += in[k * 4 + 2] * w;
                a += in[k * 4 + 3] * w;
            }
            out[column * 4 + 0] = std::uint8_t((b + 32768) >> 16);
            out[column * 4 + 1] = std::uint8_t((g + 32768) >> 16);
            out[column * 4 + 2] = std::uint8_t((r + 32768) >> 16);
            out[column * 4 + 3] = std::uint8_t((a + 32768) >> 16);
        }
    }
}

void doubleBGRA(const std::uint8_t* source, std::size_t sourceStride, std::size_t width, std::size_t height,
    std::uint8_t* target, std::size_t targetStride)
{
    const std::size_t blocks = width / 4; // four pixels in, eight out, on both rows
    for (std::size_t row = 0; row < height; ++row) {
        const std::uint8_t* in = source + row * sourceStride;
        std::uint8_t* upper = target + 2 * row * targetStride;
        std::uint8_t* lower = upper + targetStride;
        for (std::size_t block = 0; block < blocks; ++block) {
            const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + block * 16));
            const __m128i first = _mm_unpacklo_epi32(pixels, pixels);
            const __m128i second = _mm_unpackhi_epi32(pixels, pixels);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(upper + block * 32), first);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(upper + block * 32 + 16), second);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lower + block * 32), first);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lower + block * 32 + 16), second);
        }
        for (std::size_t column = blocks * 4; column < width; ++column) {
            std::uint32_t pixel;
            std::memcpy(&pixel, in + column * 4, 4);
            const std::uint64_t pair = std::uint64_t(pixel) << 32 | pixel;
            std::memcpy(upper + column * 8, &pair, 8);
            std::memcpy(lower + column * 8, &pair, 8);
        }
    }
}

void RequestSizedSurface::show(const std::uint8_t* pixels, std::size_t width, std::size_t height,
    std::size_t bytesPerRow, std::vector<CaptureRect> changed, std::size_t requestWidth, std::size_t requestHeight,
    bool scaledAlwaysChanged)
{
    if (width == requestWidth && height == requestHeight) {
        doubledWidth_ = doubledHeight_ = 0;
        data_ = pixels;
        bytesPerRow_ = bytesPerRow;
        rects_ = std::move(changed);
    } else if (requestWidth == 2 * width && requestHeight == 2 * height) {
        const std::size_t targetStride = requestWidth * 4;
        scaled_.resize(requestHeight * targetStride);
        rects_.clear();
        if (doubledWidth_ != width || doubledHeight_ != height) {
            // What the buffer held was of another picture: all of this one.
            doubleBGRA(pixels, bytesPerRow, width, height, scaled_.data(), targetStride);
            doubledWidth_ = width;
            doubledHeight_ = height;
            rects_.push_back({0, 0, requestWidth, requestHeight});
        } else {
            for (const auto& r : changed) {
                if (r.x >= width || r.y >= height) continue;
                const std::size_t w = std::min(r.width, width - r.x);
                const std::size_t h = std::min(r.height, height - r.y);
                doubleBGRA(pixels + r.y * bytesPerRow + r.x * 4, bytesPerRow, w, h,
                    scaled_.data() + 2 * r.y * targetStride + 2 * r.x * 4, targetStride);
                rects_.push_back({2 * r.x, 2 * r.y, 2 * w, 2 * h});
            }
            if (rects_.empty() && scaledAlwaysChanged) rects_.push_back({0, 0, requestWidth, requestHeight});
        }
        data_ = scaled_.data();
        bytesPerRow_ = targetStride;
    } else {
        doubledWidth_ = doubledHeight_ = 0;
        scaled_.resize(requestWidth * requestHeight * 4);
        scaler_.scale(pixels, width, height, bytesPerRow, scaled_.data(), requestWidth, requestHeight);
        data_ = scaled_.data();
        bytesPerRow_ = requestWidth * 4;
        rects_.clear();
        if (!changed.empty() || scaledAlwaysChanged) rects_.push_back({0, 0, requestWidth, requestHeight});
    }
    width_ = requestWidth;
    height_ = requestHeight;
    timestamp_ = mediaTime();
}

} // namespace qb
