#include "pipeline/FrameEncoder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <lz4.h>

#include "pipeline/LZ4BlockWriter.h"

namespace qb {

bool FrameEncoder::fits(std::size_t width, std::size_t height, PixelFormat format)
{
    const std::size_t limit = LZ4_MAX_INPUT_SIZE;
    return width > 0 && height > 0 && width <= limit / height / bytesPerPixel(format);
}

FrameEncoder::FrameEncoder(std::size_t width, std::size_t height, PixelFormat format, const PixelKernelSet* kernels,
    RowSplitter* splitter)
    : width_(width)
    , height_(height)
    , format_(format)
    , rowBytes_(width * bytesPerPixel(format))
    , kernels_(kernels ? *kernels : activePixelKernels())
    , splitter_(splitter)
{
    if (!fits(width, height, format)) throw std::invalid_argument("frame size outside what LZ4 can take");
    const std::size_t size = rowBytes_ * height_;
    const auto bound = static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(size)));
    reference_.assign(size, 0);
    delta_.assign(size, 0);
    compressed_.assign(bound, 0);
    keyframe_.assign(bound, 0);
}

std::vector<FrameEncoder::RowBand> FrameEncoder::bandsOf(std::span<const CaptureRect> changed) const
{
    std::vector<RowBand> rows;
    for (const CaptureRect& rect : changed) {
        // Clipped to the frame without overflowing on absurd rectangles.
        const std::size_t top = std::min(rect.y, height_);
        const std::size_t bottom = top + std::min(rect.height, height_ - top);
        if (rect.width > 0 && rect.x < width_ && bottom > top) rows.push_back({top, bottom});
    }
    std::sort(rows.begin(), rows.end(), [](const RowBand& a, const RowBand& b) { return a.top < b.top; });
    std::vector<RowBand> merged;
    for (const RowBand& band : rows) {
        if (!merged.empty() && band.top <= merged.back().bottom) {
            merged.back().bottom = std::max(merged.back().bottom, band.bottom);
        } else {
            merged.push_back(band);
        }
    }
    return merged;
}

// Zeroes the rows of the previous delta that this frame does not rewrite.
void FrameEncoder::clearDeltaOutside(const std::vector<RowBand>& bands)
{
    auto clear = [&](std::size_t top, std::size_t bottom) {
        if (bottom > top) std::memset(delta_.data() + top * rowBytes_, 0, (bottom - top) * rowBytes_);
    };
    auto next = bands.begin();
    for (const RowBand& old : deltaRows_) {
        std::size_t from = old.top;
        while (next != bands.end() && next->bottom <= from) ++next;
        for (auto band = next; band != bands.end() && band->top < old.bottom; ++band) {
            clear(from, std::min(band->top, old.bottom));
            from = std::max(from, band->bottom);
        }
        clear(from, old.bottom);
    }
}

void FrameEncoder::takeIn(const std::uint8_t* pixels, std::size_t bytesPerRow, std::span<const CaptureRect> changed,
    double contrast, double gamma)
{
    const bool grey = format_ == PixelFormat::greyscale;
    // Rows converted with another tone curve are stale even where the
    // picture did not change.
    const bool curveChanged = grey && (contrast != referenceContrast_ || gamma != referenceGamma_);
    std::vector<RowBand> bands = referenceStale_ || curveChanged ? std::vector<RowBand>{{0, height_}} : bandsOf(changed);

    const ToneCurve* curve = nullptr;
    if (grey && !toneCurveIsIdentity(contrast, gamma)) {
        if (!curveBuilt_ || contrast != curveContrast_ || gamma != curveGamma_) {
            curve_ = makeToneCurve(contrast, gamma);
            curveContrast_ = contrast;
            curveGamma_ = gamma;
            curveBuilt_ = true;
        }
        curve = &curve_;
    }

    clearDeltaOutside(bands);
    const int width = static_cast<int>(width_);
    const std::size_t sourceRowBytes = 4 * width_;
    for (const RowBand& band : bands) {
        // Rows [first, last) of the band; each slice is a pass of its own.
        auto pass = [&](std::size_t first, std::size_t last) {
            const std::uint8_t* source = pixels + (band.top + first) * bytesPerRow;
            const int rows = static_cast<int>(last - first);
            std::uint8_t* reference = reference_.data() + (band.top + first) * rowBytes_;
            std::uint8_t* delta = delta_.data() + (band.top + first) * rowBytes_;
            if (grey) {
                kernels_.encodeGrey(source, bytesPerRow, width, rows, curve, reference, delta);
            } else {
                kernels_.encodeRGB(source, bytesPerRow, width, rows, reference, delta);
            }
        };
        const std::size_t rows = band.bottom - band.top;
        if (splitter_ && rows * sourceRowBytes >= SPLIT_SOURCE_BYTES) {
            splitter_->run(rows, std::max<std::size_t>(1, SLICE_SOURCE_BYTES / sourceRowBytes), pass);
        } else {
            pass(0, rows);
        }
    }

    if (grey) {
        referenceContrast_ = contrast;
        referenceGamma_ = gamma;
    }
    referenceStale_ = false;
    if (!bands.empty()) keyframeCurrent_ = false;
    deltaRows_ = bands;
    changedRows_ = std::move(bands);
}

std::span<const std::uint8_t> FrameEncoder::compress(const std::vector<std::uint8_t>& input,
    const std::vector<RowBand>& bands, std::vector<std::uint8_t>& output)
{
    // Bands closer than the compressor's window are taken with the zero rows
    // between them: a piece that starts afresh loses the matches it would
    // have found in the rows before (text lines are alike), and each start
    // costs the compressor's table.
    std::vector<std::pair<std::size_t, std::size_t>> stretches;
    for (const RowBand& band : bands) {
        const std::size_t begin = band.top * rowBytes_, end = band.bottom * rowBytes_;
        if (!stretches.empty() && begin <= stretches.back().second + JOIN_GAP_BYTES) {
            stretches.back().second = end;
        } else {
            stretches.emplace_back(begin, end);
        }
    }
    std::size_t covered = 0;
    for (const auto& [begin, end] : stretches) covered += end - begin;
    const unsigned workers = splitter_ ? splitter_->helpers() + 1 : 1;
    const bool shared = workers > 1 && covered >= SPLIT_COMPRESS_BYTES;
    if (covered * 2 > input.size()) {
        if (!shared) {
            // Mostly changed: one pass of the compressor over all of it,
            // straight into the output, is cheaper than joining (measured:
            // the join's read and copy of a large block cost more than the
            // zeros it skips).
            const int n = LZ4_compress_fast(reinterpret_cast<const char*>(input.data()),
                reinterpret_cast<char*>(output.data()), static_cast<int>(input.size()),
                static_cast<int>(output.size()), accelerationFor(input.size()));
            // Cannot fail with a capacity of LZ4_compressBound; an empty span if it does.
            return {output.data(), static_cast<std::size_t>(std::max(n, 0))};
        }
        stretches.assign(1, {0, input.size()});
        covered = input.size();
    }
    // Shared, the stretches are cut into about four pieces per worker (the
    // compressor's speed varies along a frame; workers take pieces as they
    // finish, so none waits long for the slowest); a piece never spans two
    // stretches.
    const std::size_t cuts = std::size_t(workers) * 4;
    const std::size_t pieceLimit = shared ? std::max(MIN_COMPRESS_PIECE_BYTES, (covered + cuts - 1) / cuts)
                                          : input.size();
    pieces_.clear();
    std::size_t scratchBytes = 0;
    for (const auto& [begin, end] : stretches) {
        const int acceleration = accelerationFor(end - begin);
        const std::size_t count = (end - begin + pieceLimit - 1) / pieceLimit;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t from = begin + (end - begin) * k / count, to = begin + (end - begin) * (k + 1) / count;
            pieces_.push_back({from, to - from, scratchBytes, acceleration, 0});
            scratchBytes += static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(to - from)));
        }
    }
    if (scratch_.size() < scratchBytes) scratch_.resize(scratchBytes);
    const auto compressPieces = [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            Piece& piece = pieces_[i];
            piece.compressedSize = LZ4_compress_fast(reinterpret_cast<const char*>(input.data() + piece.begin),
                reinterpret_cast<char*>(scratch_.data() + piece.scratch), static_cast<int>(piece.size),
                LZ4_compressBound(static_cast<int>(piece.size)), piece.acceleration);
        }
    };
    if (shared && pieces_.size() > 1) {
        splitter_->run(pieces_.size(), 1, compressPieces);
    } else {
        compressPieces(0, pieces_.size());
    }

    // Joined into one block, the rows outside the bands as runs of zeros.
    LZ4BlockWriter writer(output);
    std::size_t at = 0;
    for (const Piece& piece : pieces_) {
        writer.appendZeros(piece.begin - at);
        const std::span<const std::uint8_t> block(scratch_.data() + piece.scratch,
            static_cast<std::size_t>(std::max(piece.compressedSize, 0)));
        if (!writer.appendBlock(block)) return {};
        at = piece.begin + piece.size;
    }
    writer.appendZeros(input.size() - at);
    const std::size_t size = writer.finish(); // before output.data(): the writer may have grown it
    return {output.data(), size};
}

std::span<const std::uint8_t> FrameEncoder::compressKeyframe()
{
    if (!keyframeCurrent_) {
        const std::vector<RowBand> whole{{0, height_}};
        keyframeSize_ = compress(reference_, whole, keyframe_).size();
        keyframeCurrent_ = keyframeSize_ > 0;
    }
    return {keyframe_.data(), keyframeSize_};
}

std::span<const std::uint8_t> FrameEncoder::compressDelta()
{
    if (!deltaRows_.empty()) return compress(delta_, deltaRows_, compressed_);
    // The delta is all zero: the same payload for every unchanged frame.
    if (unchangedDelta_.empty()) {
        const std::span<const std::uint8_t> payload = compress(delta_, {}, compressed_);
        unchangedDelta_.assign(payload.begin(), payload.end());
    }
    return unchangedDelta_;
}

} // namespace qb
