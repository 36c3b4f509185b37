#include "pipeline/HardwareEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <fmt/format.h>

#include <algorithm>
#include <cstdarg>
#include <functional>
#include <limits>

#include "diagnostics/PlatformLog.h"

namespace qb {

namespace {

void encoderLog(LogLevel level, const std::string& line)
{
    platformLog(level, "HardwareEncoder", line);
}

// libavcodec's own messages (a missing GPU driver, for one) go to our log at
// debug level instead of straight to standard error.
void libavLog(void* avcl, int level, const char* format, va_list args)
{
    if (level > AV_LOG_WARNING || !platformLogEnabled(LogLevel::debug)) return;
    char line[512];
    int prefix = 1;
    av_log_format_line2(avcl, level, format, args, line, sizeof line, &prefix);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) platformLog(LogLevel::debug, "HardwareEncoder", "libav: " + text);
}

void installLibavLog()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(libavLog); });
}

// One configuration step: the option it sets and how; a negative result is
// the libav status of the failure.
struct Step {
    std::string key;
    std::function<int(AVCodecContext*)> apply;
};

int setPrivate(AVCodecContext* context, const char* key, const char* value)
{
    if (!context->priv_data) return AVERROR_OPTION_NOT_FOUND;
    return av_opt_set(context->priv_data, key, value, 0);
}

int noStep(AVCodecContext*)
{
    return 0;
}

// BT.601 limited-range conversion of a BGRA surface to 4:2:0 (planar, or
// NV12 with interleaved chroma); each chroma sample averages its 2×2 block,
// the last row or column repeated when the size is odd.
void convertBgraTo420(const std::uint8_t* src, std::size_t stride, int width, int height, AVFrame* frame, bool nv12)
{
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = src + std::size_t(y) * stride;
        std::uint8_t* luma = frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0];
        for (int x = 0; x < width; ++x) {
            const int b = row[x * 4 + 0], g = row[x * 4 + 1], r = row[x * 4 + 2];
            luma[x] = static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
        }
    }
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    for (int cy = 0; cy < chromaHeight; ++cy) {
        const int y0 = cy * 2, y1 = std::min(cy * 2 + 1, height - 1);
        const std::uint8_t* row0 = src + std::size_t(y0) * stride;
        const std::uint8_t* row1 = src + std::size_t(y1) * stride;
        for (int cx = 0; cx < chromaWidth; ++cx) {
            const int x0 = cx * 2, x1 = std::min(cx * 2 + 1, width - 1);
            int b = 0, g = 0, r = 0;
            for (const std::uint8_t* p : {row0 + x0 * 4, row0 + x1 * 4, row1 + x0 * 4, row1 + x1 * 4}) {
                b += p[0];
                g += p[1];
                r += p[2];
            }
            b = (b + 2) / 4;
            g = (g + 2) / 4;
            r = (r + 2) / 4;
            const auto u = static_cast<std::uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
            const auto v = static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
            if (nv12) {
                std::uint8_t* uv = frame->data[1] + std::ptrdiff_t(cy) * frame->linesize[1];
                uv[cx * 2] = u;
                uv[cx * 2 + 1] = v;
            } else {
                frame->data[1][std::ptrdiff_t(cy) * frame->linesize[1] + cx] = u;
                frame->data[2][std::ptrdiff_t(cy) * frame->linesize[2] + cx] = v;
            }
        }
    }
}

} // namespace

std::string HardwareEncoderError::description() const
{
    switch (kind) {
    case Kind::sessionCreationFailed: return fmt::format("avcodec_open2 failed with status {}", status);
    case Kind::propertySetFailed: return fmt::format("Failed to set codec option '{}': status {}", property, status);
    }
    return {};
}

std::vector<std::string> HardwareEncoder::defaultEncoderNames()
{
    return {"h264_vaapi", "h264_nvenc", "h264_v4l2m2m", "libx264"};
}

HardwareEncoder::HardwareEncoder(std::int64_t width, std::int64_t height, std::int64_t fps, double bitrateMbps,
    std::vector<std::string> encoderNames)
    : width_(width)
    , height_(height)
    , fps_(fps)
    , bitrateMbps_(bitrateMbps)
{
    installLibavLog();
    std::optional<HardwareEncoderError> error;
    for (const auto& name : encoderNames) {
        error = createSession(name);
        if (!error) break;
        encoderLog(LogLevel::debug, fmt::format("{} unavailable: {}", name, error->description()));
    }
    if (encoderNames.empty()) error = HardwareEncoderError{HardwareEncoderError::Kind::sessionCreationFailed, AVERROR_ENCODER_NOT_FOUND, {}};
    if (error) {
        encoderLog(LogLevel::error, fmt::format("Failed to create libavcodec H.264 session: {}", error->description()));
    }
}

HardwareEncoder::~HardwareEncoder()
{
    stop();
}

bool HardwareEncoder::hasSession() const
{
    std::lock_guard guard(lock_);
    return session_ != nullptr;
}

std::string HardwareEncoder::encoderName() const
{
    std::lock_guard guard(lock_);
    return session_ ? encoderName_ : std::string();
}

std::optional<HardwareEncoderError> HardwareEncoder::createSession(const std::string& name)
{
    using Kind = HardwareEncoderError::Kind;
    constexpr std::int64_t max32 = std::numeric_limits<std::int32_t>::max();
    if (width_ <= 0 || height_ <= 0 || width_ > max32 || height_ > max32 || fps_ <= 0 || fps_ > 1000
        || !(bitrateMbps_ > 0) || bitrateMbps_ > 1e5) {
        return HardwareEncoderError{Kind::sessionCreationFailed, AVERROR(EINVAL), {}};
    }
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec) return HardwareEncoderError{Kind::sessionCreationFailed, AVERROR_ENCODER_NOT_FOUND, {}};

    std::lock_guard guard(lock_);
    releaseSession();
    session_ = avcodec_alloc_context3(codec);
    if (!session_) return HardwareEncoderError{Kind::sessionCreationFailed, AVERROR(ENOMEM), {}};
    session_->width = static_cast<int>(width_);
    session_->height = static_cast<int>(height_);
    session_->time_base = AVRational{1, static_cast<int>(fps_)};
    session_->pix_fmt = AV_PIX_FMT_YUV420P;
    nv12_ = false;

    // VA-API encodes from surfaces in GPU memory: a device, a pool of NV12
    // frames on it, and an upload per frame.
    if (name == "h264_vaapi") {
        int status = av_hwdevice_ctx_create(&hwDevice_, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
        if (status < 0) {
            releaseSession();
            return HardwareEncoderError{Kind::sessionCreationFailed, status, {}};
        }
        hwFrames_ = av_hwframe_ctx_alloc(hwDevice_);
        if (!hwFrames_) {
            releaseSession();
            return HardwareEncoderError{Kind::sessionCreationFailed, AVERROR(ENOMEM), {}};
        }
        auto* frames = reinterpret_cast<AVHWFramesContext*>(hwFrames_->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = AV_PIX_FMT_NV12;
        frames->width = session_->width;
        frames->height = session_->height;
        frames->initial_pool_size = 4;
        if ((status = av_hwframe_ctx_init(hwFrames_)) < 0) {
            releaseSession();
            return HardwareEncoderError{Kind::sessionCreationFailed, status, {}};
        }
        session_->pix_fmt = AV_PIX_FMT_VAAPI;
        session_->hw_frames_ctx = av_buffer_ref(hwFrames_);
        nv12_ = true;
    }

    const auto bitsPerSecond = static_cast<std::int64_t>(bitrateMbps_ * 1'000'000);
    const bool x264 = name == "libx264";
    const bool nvenc = name == "h264_nvenc";
    const bool vaapi = name == "h264_vaapi";

    // The same order for every encoder: real time, power (the speed preset
    // stands in for it), no reordering, Baseline, bit rate, keyframe
    // interval, frame rate. Options an encoder lacks are left alone.
    std::vector<Step> steps;
    if (x264) steps.push_back({"tune", [](AVCodecContext* c) { return setPrivate(c, "tune", "zerolatency"); }});
    else if (nvenc) steps.push_back({"zerolatency", [](AVCodecContext* c) { return setPrivate(c, "zerolatency", "1"); }});
    else steps.push_back({"realtime", noStep});
    if (x264) steps.push_back({"preset", [](AVCodecContext* c) { return setPrivate(c, "preset", "ultrafast"); }});
    else if (nvenc) steps.push_back({"preset", [](AVCodecContext* c) { return setPrivate(c, "preset", "p1"); }});
    else steps.push_back({"preset", noStep});
    steps.push_back({"bf", [](AVCodecContext* c) { return av_opt_set_int(c, "bf", 0, 0); }});
    if (x264 || nvenc) steps.push_back({"profile", [](AVCodecContext* c) { return setPrivate(c, "profile", "baseline"); }});
    else if (vaapi) steps.push_back({"profile", [](AVCodecContext* c) { return setPrivate(c, "profile", "constrained_baseline"); }});
    else steps.push_back({"profile", [](AVCodecContext* c) { c->profile = FF_PROFILE_H264_BASELINE; return 0; }});
    steps.push_back({"b", [bitsPerSecond](AVCodecContext* c) { return av_opt_set_int(c, "b", bitsPerSecond, 0); }});
    steps.push_back({"g", [](AVCodecContext* c) { return av_opt_set_int(c, "g", KEYFRAME_INTERVAL, 0); }});
    steps.push_back({"framerate", [this](AVCodecContext* c) {
        c->framerate = AVRational{static_cast<int>(fps_), 1};
        return 0;
    }});

    for (const auto& step : steps) {
        if (int status = step.apply(session_); status < 0) {
            releaseSession();
            return HardwareEncoderError{Kind::propertySetFailed, status, step.key};
        }
    }

    // Low-latency rate control: a one-frame rate buffer for x264, the
    // ultra-low-latency tuning for NVENC, constant bit rate for VA-API.
    int lowLatency = AVERROR_OPTION_NOT_FOUND;
    if (x264) {
        lowLatency = av_opt_set_int(session_, "maxrate", bitsPerSecond, 0);
        if (lowLatency >= 0) lowLatency = av_opt_set_int(session_, "bufsize", bitsPerSecond / fps_, 0);
    } else if (nvenc) {
        lowLatency = setPrivate(session_, "tune", "ull");
    } else if (vaapi) {
        lowLatency = setPrivate(session_, "rc_mode", "CBR");
    }

    if (int status = avcodec_open2(session_, codec, nullptr); status < 0) {
        releaseSession();
        return HardwareEncoderError{Kind::sessionCreationFailed, status, {}};
    }
    // Said only of the encoder actually used, not of every one tried.
    if (lowLatency < 0) {
        encoderLog(LogLevel::info, fmt::format(
            "Low-latency rate control not available (status: {}) — using default rate control", lowLatency));
    }

    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!frame_ || !packet_) {
        releaseSession();
        return HardwareEncoderError{Kind::sessionCreationFailed, AVERROR(ENOMEM), {}};
    }
    frame_->format = nv12_ ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    frame_->width = session_->width;
    frame_->height = session_->height;
    if (int status = av_frame_get_buffer(frame_, 0); status < 0) {
        releaseSession();
        return HardwareEncoderError{Kind::sessionCreationFailed, status, {}};
    }

    encoderName_ = name;
    frameCount_ = 0;
    encoderLog(LogLevel::info, fmt::format("libavcodec session ({}) configured: {}x{} @ {}fps, {:f}Mbps, Baseline "
                                           "profile, no B-frames",
        name, width_, height_, fps_, bitrateMbps_));
    return std::nullopt;
}

void HardwareEncoder::releaseSession()
{
    avcodec_free_context(&session_);
    av_buffer_unref(&hwFrames_);
    av_buffer_unref(&hwDevice_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    pendingOutput_.reset();
}

bool HardwareEncoder::fillFrame(const CaptureSurface& surface, AVFrame* frame)
{
    // The surface must be exactly the session's picture; anything else would
    // be read past its end or encoded at the wrong size.
    if (surface.width() != std::size_t(width_) || surface.height() != std::size_t(height_)
        || surface.bytesPerElement() != 4 || surface.bytesPerRow() < surface.width() * 4) {
        return false;
    }
    SurfaceReadLock pixels(surface);
    if (!pixels) return false;
    convertBgraTo420(pixels.data(), surface.bytesPerRow(), static_cast<int>(width_), static_cast<int>(height_), frame,
        nv12_);
    return true;
}

std::optional<std::vector<std::uint8_t>> HardwareEncoder::encode(const CaptureSurface& surface)
{
    std::lock_guard guard(lock_);
    if (!session_) return std::nullopt;

    // The encoder may still reference the previous picture's buffer.
    if (int status = av_frame_make_writable(frame_); status < 0) {
        encoderLog(LogLevel::error, fmt::format("av_frame_make_writable failed: {}", status));
        return std::nullopt;
    }
    if (!fillFrame(surface, frame_)) {
        encoderLog(LogLevel::error, fmt::format("av_frame_make_writable failed: {}", AVERROR(EINVAL)));
        return std::nullopt;
    }

    AVFrame* input = frame_;
    AVFrame* uploaded = nullptr;
    if (hwFrames_) {
        uploaded = av_frame_alloc();
        int status = uploaded ? av_hwframe_get_buffer(hwFrames_, uploaded, 0) : AVERROR(ENOMEM);
        if (status >= 0) status = av_hwframe_transfer_data(uploaded, frame_, 0);
        if (status < 0) {
            av_frame_free(&uploaded);
            encoderLog(LogLevel::error, fmt::format("av_frame_make_writable failed: {}", status));
            return std::nullopt;
        }
        input = uploaded;
    }

    input->pts = frameCount_;
    ++frameCount_;
    pendingOutput_.reset();

    int status = avcodec_send_frame(session_, input);
    av_frame_free(&uploaded);
    if (status < 0) {
        encoderLog(LogLevel::error, fmt::format("avcodec_send_frame failed: {}", status));
        return std::nullopt;
    }

    // Real-time settings make the encoder hand the frame back at once; take
    // everything it has.
    std::vector<std::uint8_t> output;
    for (;;) {
        status = avcodec_receive_packet(session_, packet_);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) break;
        if (status < 0) {
            encoderLog(LogLevel::error, fmt::format("avcodec_receive_packet failed: {}", status));
            return std::nullopt;
        }
        if (packet_->flags & AV_PKT_FLAG_CORRUPT) {
            encoderLog(LogLevel::error, fmt::format("Encode callback error: {}", AVERROR_INVALIDDATA));
        } else if (packet_->flags & AV_PKT_FLAG_DISCARD) {
            encoderLog(LogLevel::error, "Frame dropped by encoder");
        } else if (!packet_->data || packet_->size <= 0) {
            encoderLog(LogLevel::error, "No data buffer in encoded sample");
        } else {
            output.insert(output.end(), packet_->data, packet_->data + packet_->size);
        }
        av_packet_unref(packet_);
    }
    if (output.empty()) return std::nullopt;
    pendingOutput_ = std::move(output);
    auto result = std::move(pendingOutput_);
    pendingOutput_.reset();
    return result;
}

void HardwareEncoder::stop()
{
    std::lock_guard guard(lock_);
    if (!session_) return;
    // Complete whatever is pending, then let it go.
    if (avcodec_send_frame(session_, nullptr) >= 0) {
        while (avcodec_receive_packet(session_, packet_) >= 0) av_packet_unref(packet_);
    }
    releaseSession();
    encoderLog(LogLevel::info, "HardwareEncoder stopped");
}

} // namespace qb
