#include "platform/PixelKernelChoice.h"

#include <cstdlib>

namespace qb {

const std::string& requestedPixelKernels()
{
    static const std::string wanted = [] {
        const char* value = std::getenv("QUILLBRIGHT_PIXEL_KERNELS");
        return std::string(value ? value : "");
    }();
    return wanted;
}

} // namespace qb
