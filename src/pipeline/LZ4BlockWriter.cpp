#include "pipeline/LZ4BlockWriter.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace qb {

namespace {

constexpr std::size_t MIN_MATCH = 4;
// A zero run is one literal zero, a match one byte back, and this many
// literal zeros after it, so that whatever follows (the end of the block
// included) finds the match far enough from the end.
constexpr std::size_t ZERO_RUN_TAIL = 12;
constexpr std::uint8_t ZEROS[ZERO_RUN_TAIL + MIN_MATCH + 1] = {};

struct Sequence {
    std::size_t start = 0; // the token
    std::size_t literals = 0;
    std::size_t literalCount = 0;
    std::size_t offset = 0;      // 0: the last sequence, literals only
    std::size_t matchLength = 0;
    std::size_t end = 0;
};

std::optional<Sequence> readSequence(std::span<const std::uint8_t> block, std::size_t pos, std::size_t decoded)
{
    Sequence s;
    s.start = pos;
    if (pos >= block.size()) return std::nullopt;
    const std::uint8_t token = block[pos++];
    auto readLength = [&](std::size_t& length) {
        for (;;) {
            if (pos >= block.size()) return false;
            const std::uint8_t b = block[pos++];
            length += b;
            if (b != 255) return true;
        }
    };
    s.literalCount = token >> 4;
    if (s.literalCount == 15 && !readLength(s.literalCount)) return std::nullopt;
    if (s.literalCount > block.size() - pos) return std::nullopt;
    s.literals = pos;
    pos += s.literalCount;
    if (pos == block.size()) {
        s.end = pos;
        return s;
    }
    if (block.size() - pos < 2) return std::nullopt;
    s.offset = std::size_t(block[pos]) | std::size_t(block[pos + 1]) << 8;
    pos += 2;
    // A piece refers only to what it decodes itself.
    if (s.offset == 0 || s.offset > decoded + s.literalCount) return std::nullopt;
    s.matchLength = token & 15;
    if (s.matchLength == 15 && !readLength(s.matchLength)) return std::nullopt;
    s.matchLength += MIN_MATCH;
    s.end = pos;
    return s;
}

} // namespace

bool LZ4BlockWriter::appendBlock(std::span<const std::uint8_t> block)
{
    // Read it whole first: nothing is appended from a block that is not well formed.
    const auto first = readSequence(block, 0, 0);
    if (!first) return false;
    Sequence last = *first;
    std::size_t decoded = first->literalCount + first->matchLength;
    while (last.offset != 0) {
        const auto next = readSequence(block, last.end, decoded);
        if (!next) return false;
        last = *next;
        decoded += last.literalCount + last.matchLength;
    }

    flushZeros();
    if (first->offset != 0) {
        literals_.push_back(block.subspan(first->literals, first->literalCount));
        literalBytes_ += first->literalCount;
        emitSequence(first->offset, first->matchLength);
        // Everything between the first and the last sequence is kept as it is.
        put(block.data() + first->end, last.start - first->end);
    }
    literals_.push_back(block.subspan(last.literals, last.literalCount));
    literalBytes_ += last.literalCount;
    return true;
}

void LZ4BlockWriter::flushZeros()
{
    const std::size_t count = std::exchange(zeros_, 0);
    if (count < 1 + MIN_MATCH + ZERO_RUN_TAIL) {
        literals_.push_back({ZEROS, count});
        literalBytes_ += count;
        return;
    }
    literals_.push_back({ZEROS, 1});
    literalBytes_ += 1;
    emitSequence(1, count - 1 - ZERO_RUN_TAIL);
    literals_.push_back({ZEROS, ZERO_RUN_TAIL});
    literalBytes_ += ZERO_RUN_TAIL;
}

std::size_t LZ4BlockWriter::finish()
{
    flushZeros();
    const std::uint8_t token = static_cast<std::uint8_t>(std::min<std::size_t>(literalBytes_, 15) << 4);
    put(&token, 1);
    if (literalBytes_ >= 15) putLength(literalBytes_ - 15);
    for (const auto& span : literals_) put(span.data(), span.size());
    literals_.clear();
    literalBytes_ = 0;
    return size_;
}

void LZ4BlockWriter::emitSequence(std::size_t matchOffset, std::size_t matchLength)
{
    const std::size_t extra = matchLength - MIN_MATCH;
    const auto token = static_cast<std::uint8_t>(std::min<std::size_t>(literalBytes_, 15) << 4
        | std::min<std::size_t>(extra, 15));
    put(&token, 1);
    if (literalBytes_ >= 15) putLength(literalBytes_ - 15);
    for (const auto& span : literals_) put(span.data(), span.size());
    const std::uint8_t offset[2] = {static_cast<std::uint8_t>(matchOffset), static_cast<std::uint8_t>(matchOffset >> 8)};
    put(offset, 2);
    if (extra >= 15) putLength(extra - 15);
    literals_.clear();
    literalBytes_ = 0;
}

void LZ4BlockWriter::putLength(std::size_t length)
{
    // 255 for every whole 255, then the rest: long zero runs write many.
    const std::size_t full = length / 255;
    if (size_ + full + 1 > output_.size()) output_.resize(std::max(output_.size() * 2, size_ + full + 1));
    std::memset(output_.data() + size_, 255, full);
    output_[size_ + full] = static_cast<std::uint8_t>(length % 255);
    size_ += full + 1;
}

void LZ4BlockWriter::put(const std::uint8_t* bytes, std::size_t count)
{
    if (count == 0) return;
    if (size_ + count > output_.size()) output_.resize(std::max(output_.size() * 2, size_ + count));
    std::memcpy(output_.data() + size_, bytes, count);
    size_ += count;
}

} // namespace qb
