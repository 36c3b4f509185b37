#include "pipeline/PreviewEncoder.h"

#include <limits>

#include <turbojpeg.h>

namespace qb {

PreviewEncoder::PreviewEncoder(int quality)
    : quality_(quality)
    , compressor_(nullptr)
{
}

PreviewEncoder::~PreviewEncoder()
{
    if (compressor_) tjDestroy(static_cast<tjhandle>(compressor_));
}

std::optional<std::vector<std::uint8_t>> PreviewEncoder::encode(const std::uint8_t* bgra,
    std::size_t width, std::size_t height, std::size_t stride, bool greyscale)
{
    constexpr auto maxSide = static_cast<std::size_t>(std::numeric_limits<int>::max() / 4);
    if (!bgra || width == 0 || height == 0 || width > maxSide || height > maxSide
        || stride < width * 4 || stride > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    if (!compressor_) compressor_ = tjInitCompress();
    if (!compressor_) return std::nullopt;

    // Grey subsampling makes libjpeg-turbo write the luma channel only: the
    // desaturated picture.
    const int subsampling = greyscale ? TJSAMP_GRAY : TJSAMP_420;
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int result = tjCompress2(static_cast<tjhandle>(compressor_), bgra, static_cast<int>(width),
        static_cast<int>(stride), static_cast<int>(height), TJPF_BGRA, &jpeg, &size, subsampling,
        quality_, TJFLAG_FASTDCT);
    std::optional<std::vector<std::uint8_t>> image;
    if (result == 0 && jpeg && size > 0) image.emplace(jpeg, jpeg + size);
    if (jpeg) tjFree(jpeg);
    return image;
}

} // namespace qb
