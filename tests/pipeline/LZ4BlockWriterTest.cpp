// A block joined from pieces and zero runs must decode, with the decoder's
// strictest checks (an output exactly the input's size), to the input.
#include "pipeline/LZ4BlockWriter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace qb {
namespace {

TEST(LZ4BlockWriterTest, JoinedPiecesAndZeroRunsDecodeToTheirConcatenation)
{
    std::mt19937 rng(11);
    auto pick = [&](std::size_t below) { return std::uniform_int_distribution<std::size_t>(0, below - 1)(rng); };
    // Sizes around the format's limits: a match needs 4 bytes, the block's
    // last 5 are literals, its last match starts 12 or more from the end.
    const std::size_t sizes[] = {0, 1, 3, 4, 5, 11, 12, 13, 16, 17, 18, 30, 300, 70000};
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> input;
        std::vector<std::vector<std::uint8_t>> blocks; // kept until finish()
        std::vector<std::uint8_t> output(pick(2) ? 0 : 64); // grows as needed
        LZ4BlockWriter writer(output);
        for (std::size_t parts = 1 + pick(5); parts-- > 0;) {
            const std::size_t size = sizes[pick(std::size(sizes))];
            if (pick(2)) {
                input.insert(input.end(), size, 0);
                writer.appendZeros(size);
                continue;
            }
            std::vector<std::uint8_t> piece(size);
            const int kind = static_cast<int>(pick(3)); // noise, text-like, sparse
            for (auto& b : piece) b = static_cast<std::uint8_t>(kind == 0 ? pick(256) : kind == 1 ? 'a' + pick(4) : pick(9) == 0);
            input.insert(input.end(), piece.begin(), piece.end());
            blocks.push_back(test::lz4(piece));
            ASSERT_TRUE(writer.appendBlock(blocks.back()));
        }
        output.resize(writer.finish());
        ASSERT_EQ(test::unlz4(output, input.size()), input) << "round " << round;
    }

    // A long zero run costs about a byte per 255 of it.
    std::vector<std::uint8_t> output;
    LZ4BlockWriter zeros(output);
    zeros.appendZeros(1 << 20);
    EXPECT_LT(zeros.finish(), (1U << 20) / 250);

    // What the compressor never made is refused, and nothing of it appended.
    const std::vector<std::uint8_t> truncated{0xF0, 0x20};
    const std::vector<std::uint8_t> farBack{0x14, 'a', 0x09, 0x00, 0x50, 'a', 'b', 'c', 'd', 'e'};
    LZ4BlockWriter refusing(output);
    EXPECT_FALSE(refusing.appendBlock(truncated));
    EXPECT_FALSE(refusing.appendBlock(farBack));
    EXPECT_FALSE(refusing.appendBlock({}));
}

} // namespace
} // namespace qb
