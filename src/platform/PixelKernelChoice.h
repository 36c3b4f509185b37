// Which pixel kernels the encoder is to use: the best set the processor
// has, unless QUILLBRIGHT_PIXEL_KERNELS names a lesser one ("avx2",
// "avx512bw", "sse2", "scalar"), to measure that set as a processor with
// only it would run. Read once; the encoder ignores a set the processor
// lacks or a name it does not know.
#pragma once

#include <string>

namespace qb {

// The name asked for; empty: the best.
const std::string& requestedPixelKernels();

} // namespace qb
