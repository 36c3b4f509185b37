# cmake -DOUTPUT=<file.cpp> -DSIMD=<a.wasm> -DPLAIN=<b.wasm> -P EmbedBytes.cmake
# Writes the tablet page's two WebAssembly decoders as byte arrays behind
# pageDecoderWasm() (transport/TabletPageDecoder.h).
function(bytes_of file out)
    file(READ ${file} hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
    string(REGEX REPLACE "((0x..,){24})" "\\1\n    " hex "${hex}")
    set(${out} "${hex}" PARENT_SCOPE)
endfunction()
bytes_of(${SIMD} simd)
bytes_of(${PLAIN} plain)
file(WRITE ${OUTPUT}.new "// Generated from transport/wasm/PageDecoder.cpp by cmake/EmbedBytes.cmake.
#include \"transport/TabletPageDecoder.h\"

namespace qb {
namespace {
constexpr std::uint8_t SIMD[] = {
    ${simd}};
constexpr std::uint8_t PLAIN[] = {
    ${plain}};
} // namespace

std::span<const std::uint8_t> pageDecoderWasm(bool simd)
{
    return simd ? std::span<const std::uint8_t>(SIMD) : std::span<const std::uint8_t>(PLAIN);
}

} // namespace qb
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
