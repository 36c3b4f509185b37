// FrameEncoder: turns captured BGRA frames into the device's LZ4 payloads,
// a keyframe (the whole converted frame) or a delta (its byte-wise XOR
// against the frame before), with no threads, sockets or clocks of its own.
//
// It keeps the reference frame the device is assumed to hold. takeIn()
// reads only the rows the capture reports changed, in one fused pass per band
// of rows (BGRA → grey through the tone curve, or packed RGB; XOR against the
// reference into the delta; the new bytes into the reference). Rows outside
// the bands stay zero in the delta, so an unchanged frame converts nothing
// and its delta payload is the same every time (computed once).
//
//   FrameEncoder encoder(1600, 1200, PixelFormat::greyscale);
//   encoder.takeIn(pixels, bytesPerRow, surface.changedRects(), contrast, gamma);
//   std::span<const std::uint8_t> payload = isKeyframe ? encoder.compressKeyframe()
//                                                      : encoder.compressDelta();
//
// The payloads decode (LZ4, then XOR onto the previous picture for a delta)
// to exactly what the scalar definitions of PixelKernels give for the whole
// frame. A span returned stays valid until the next call that changes the
// encoder.
//
// Ownership and threads: the capture object owns one per running stream and
// calls it on its capture queue only (not thread-safe). Given a RowSplitter,
// a large band's pass and the compression of a large payload are shared
// with the splitter's helper threads for the length of the call; the
// encoder keeps no thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config/Modes.h"
#include "pipeline/PixelKernels.h"
#include "pipeline/RowSplitter.h"
#include "platform/CaptureStream.h"

namespace qb {

class FrameEncoder {
public:
    // Rows [top, bottom) of the frame.
    struct RowBand {
        std::size_t top = 0;
        std::size_t bottom = 0;
        bool operator==(const RowBand&) const = default;
    };

    // Allocates the buffers (width × height × 1 or 3 bytes each, plus LZ4's
    // bound); `kernels` defaults to the best set of this processor; without
    // a `splitter` every pass runs on the calling thread. Throws
    // std::invalid_argument for an empty frame or one LZ4 cannot take.
    FrameEncoder(std::size_t width, std::size_t height, PixelFormat format, const PixelKernelSet* kernels = nullptr,
        RowSplitter* splitter = nullptr);

    // Bands of at least this many source bytes are shared with the splitter,
    // in slices of about SLICE_SOURCE_BYTES: below it, waking a helper costs
    // more than it saves.
    static constexpr std::size_t SPLIT_SOURCE_BYTES = 1 << 20;
    static constexpr std::size_t SLICE_SOURCE_BYTES = 256 << 10;
    // The compressor takes the changed rows as stretches, joined into one
    // block with the rows between them as runs of zeros that never reach
    // it; bands closer than this are one stretch.
    static constexpr std::size_t JOIN_GAP_BYTES = 64 << 10;

    // LZ4's acceleration for one compressor pass over `bytes` of input. A
    // pass this large is a colour frame that mostly changed (a page switched
    // or scrolled), where the compressor is nearly all of the frame's time:
    // a faster pass there costs a few percent of bytes (still a standard
    // block). Smaller passes, every grey frame among them, keep the default.
    static constexpr std::size_t FAST_COMPRESSION_BYTES = 4 << 20;
    static constexpr int FAST_ACCELERATION = 3;
    static int accelerationFor(std::size_t bytes) { return bytes >= FAST_COMPRESSION_BYTES ? FAST_ACCELERATION : 1; }
    // With a splitter, a delta or keyframe whose changed bytes reach this is
    // compressed as pieces on the helpers too, each at least
    // MIN_COMPRESS_PIECE_BYTES (LZ4 looks 64 KB back: a cut costs a few
    // matches), joined into the one block the device decodes.
    static constexpr std::size_t SPLIT_COMPRESS_BYTES = 1 << 20;
    static constexpr std::size_t MIN_COMPRESS_PIECE_BYTES = 1 << 20;

    // Whether a frame of this size and format fits an LZ4 block.
    static bool fits(std::size_t width, std::size_t height, PixelFormat format);

    // Takes in a frame of at least width × height BGRA pixels, `bytesPerRow`
    // apart, of which only `changed` differs from the frame taken in before.
    // The whole frame is read instead when the reference is stale (the first
    // frame, after invalidate()) or the tone curve differs from the one the
    // reference was converted with. Grey frames use the tone curve of
    // (contrast, gamma); RGB frames ignore both.
    void takeIn(const std::uint8_t* pixels, std::size_t bytesPerRow, std::span<const CaptureRect> changed,
        double contrast, double gamma);

    // The next takeIn() reads the whole frame (a frame was not taken in).
    void invalidate() { referenceStale_ = true; }

    // The bands the last takeIn() read; empty when nothing changed.
    const std::vector<RowBand>& changedRows() const { return changedRows_; }

    // One raw LZ4 block of the reference (the frame last taken in) or of the
    // delta (what changed with it).
    std::span<const std::uint8_t> compressKeyframe();
    std::span<const std::uint8_t> compressDelta();

    // The converted frame last taken in, packed rows.
    std::span<const std::uint8_t> reference() const { return reference_; }
    std::size_t width() const { return width_; }
    std::size_t height() const { return height_; }
    PixelFormat format() const { return format_; }
    std::size_t frameBytes() const { return reference_.size(); }

private:
    std::vector<RowBand> bandsOf(std::span<const CaptureRect> changed) const;
    void clearDeltaOutside(const std::vector<RowBand>& bands);
    // One block of `input`, of which only `bands` may hold bytes other than
    // zero; `output` holds LZ4_compressBound of the frame (and grows if a
    // joined block needs more).
    std::span<const std::uint8_t> compress(const std::vector<std::uint8_t>& input, const std::vector<RowBand>& bands,
        std::vector<std::uint8_t>& output);

    // A stretch of input compressed on its own into scratch_, on the calling
    // thread (shared with the helpers it was no faster on two busy cores).
    struct Piece {
        std::size_t begin = 0;
        std::size_t size = 0;
        std::size_t scratch = 0; // where its block starts in scratch_
        int acceleration = 1;    // chosen by the size of the stretch it is cut from
        int compressedSize = 0;
    };

    const std::size_t width_;
    const std::size_t height_;
    const PixelFormat format_;
    const std::size_t rowBytes_;
    const PixelKernelSet& kernels_;
    RowSplitter* const splitter_;

    std::vector<std::uint8_t> reference_;
    std::vector<std::uint8_t> delta_;
    std::vector<std::uint8_t> compressed_;
    std::vector<Piece> pieces_;
    std::vector<std::uint8_t> scratch_;
    // The delta payload of an unchanged frame (all-zero delta), once made.
    std::vector<std::uint8_t> unchangedDelta_;
    // The last keyframe payload, while the reference has not changed since.
    std::vector<std::uint8_t> keyframe_;
    std::size_t keyframeSize_ = 0;
    bool keyframeCurrent_ = false;

    ToneCurve curve_{};
    double curveContrast_ = 1.0;
    double curveGamma_ = 1.0;
    bool curveBuilt_ = false;
    // The reference must be converted whole; the amounts its rows were converted with.
    bool referenceStale_ = true;
    double referenceContrast_ = 1.0;
    double referenceGamma_ = 1.0;
    std::vector<RowBand> changedRows_;
    // The bands the delta holds non-zero bytes in.
    std::vector<RowBand> deltaRows_;
};

} // namespace qb
