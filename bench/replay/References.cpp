#include "References.h"

#include <algorithm>
#include <cstring>

#include <x264.h>
#include <zstd.h>

namespace qb::bench {

ZstdReference::ZstdReference()
    : context_(ZSTD_createCCtx())
{
}

ZstdReference::~ZstdReference() { ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(context_)); }

std::size_t ZstdReference::compress(const std::uint8_t* data, std::size_t size)
{
    output_.resize(ZSTD_compressBound(size));
    const std::size_t n = ZSTD_compressCCtx(static_cast<ZSTD_CCtx*>(context_), output_.data(), output_.size(),
        data, size, 1);
    return ZSTD_isError(n) ? 0 : n;
}

struct X264Reference::Picture {
    x264_picture_t in;
    x264_picture_t out;
};

X264Reference::X264Reference(int width, int height)
    : width_(width)
    , height_(height)
{
    if (width <= 0 || height <= 0 || width % 2 || height % 2) return;
    x264_param_t param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0) return;
    param.i_threads = 1;
    param.i_width = width;
    param.i_height = height;
    param.i_csp = X264_CSP_I420;
    param.i_fps_num = 60;
    param.i_fps_den = 1;
    param.i_keyint_max = 60;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.i_log_level = X264_LOG_ERROR;
    picture_ = std::make_unique<Picture>();
    if (x264_picture_alloc(&picture_->in, X264_CSP_I420, width, height) < 0) {
        picture_.reset();
        return;
    }
    encoder_ = x264_encoder_open(&param);
}

X264Reference::~X264Reference()
{
    if (encoder_) x264_encoder_close(static_cast<x264_t*>(encoder_));
    if (picture_) x264_picture_clean(&picture_->in);
}

void X264Reference::loadGrey(const std::uint8_t* grey)
{
    if (!encoder_) return;
    auto& img = picture_->in.img;
    for (int y = 0; y < height_; ++y) std::memcpy(img.plane[0] + y * img.i_stride[0], grey + y * width_, static_cast<std::size_t>(width_));
    for (int p = 1; p < 3; ++p) {
        for (int y = 0; y < height_ / 2; ++y) std::memset(img.plane[p] + y * img.i_stride[p], 128, static_cast<std::size_t>(width_ / 2));
    }
}

void X264Reference::loadRGB(const std::uint8_t* rgb)
{
    if (!encoder_) return;
    auto& img = picture_->in.img;
    auto clamp = [](int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); };
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            const std::uint8_t* p = rgb + (static_cast<std::size_t>(y) * width_ + x) * 3;
            img.plane[0][y * img.i_stride[0] + x] = clamp(((66 * p[0] + 129 * p[1] + 25 * p[2] + 128) >> 8) + 16);
            if (x % 2 == 0 && y % 2 == 0) {
                img.plane[1][(y / 2) * img.i_stride[1] + x / 2] = clamp(((-38 * p[0] - 74 * p[1] + 112 * p[2] + 128) >> 8) + 128);
                img.plane[2][(y / 2) * img.i_stride[2] + x / 2] = clamp(((112 * p[0] - 94 * p[1] - 18 * p[2] + 128) >> 8) + 128);
            }
        }
    }
}

std::size_t X264Reference::encode()
{
    if (!encoder_) return 0;
    picture_->in.i_pts = pts_++;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const int size = x264_encoder_encode(static_cast<x264_t*>(encoder_), &nals, &count, &picture_->in, &picture_->out);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

} // namespace qb::bench
