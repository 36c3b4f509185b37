// LZ4BlockWriter: builds one raw LZ4 block, as a single LZ4_compress call
// would make it for the device, out of pieces compressed apart and runs of
// zero bytes never handed to the compressor. So the bands of a large frame
// are compressed on several threads at once, and the rows a frame did not
// change (all zero in its delta) cost a few bytes of output instead of a
// pass of the compressor.
//
//   LZ4BlockWriter writer(output);
//   writer.appendZeros(topRows * rowBytes);
//   writer.appendBlock(piece);              // LZ4_compress_* of the next bytes
//   writer.appendZeros(rest);
//   std::size_t size = writer.finish();     // output[0, size) is the block
//
// Joining: a block ends with a sequence of literals only, which a decoder
// takes as the end of its input; the writer holds those literals back and
// puts them in front of what follows (the next piece's first sequence, or a
// zero run, which is one literal zero and a match one byte back). Matches
// inside a piece keep their distances, since the decoder writes every piece
// where it stands in the whole. The end keeps LZ4's rules: the last five
// bytes are literals and the last match starts twelve bytes or more before
// the end.
//
// Not thread-safe: one writer per block, on the thread that joins the pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qb {

class LZ4BlockWriter {
public:
    // Writes from the start of `output`, growing it when needed.
    explicit LZ4BlockWriter(std::vector<std::uint8_t>& output) : output_(output) {}

    // `block`: a raw LZ4 block made by the LZ4 library of the next bytes of
    // the input. The bytes it points at must stay until finish(). False (and
    // nothing appended) when it is not a well-formed block.
    bool appendBlock(std::span<const std::uint8_t> block);
    // `count` zero bytes of the input.
    void appendZeros(std::size_t count) { zeros_ += count; }
    // Ends the block; returns its size in bytes.
    std::size_t finish();

private:
    void flushZeros();
    void emitSequence(std::size_t matchOffset, std::size_t matchLength);
    void put(const std::uint8_t* bytes, std::size_t count);
    void putLength(std::size_t length);

    std::vector<std::uint8_t>& output_;
    std::size_t size_ = 0;
    std::vector<std::span<const std::uint8_t>> literals_; // held back, in order
    std::size_t literalBytes_ = 0;
    std::size_t zeros_ = 0; // a zero run not written yet
};

} // namespace qb
