// The H.264 comparison encoder: an experiment, off unless the user default
// "experimentH264Compare" is set, that measures how a hardware H.264 encoder
// would compare with the LZ4 delta stream. The capture encodes every 60th
// frame with it as well and logs both sizes and times; the H.264 bytes are
// never sent anywhere.
//
// Built on libavcodec: the hardware encoders (VA-API, NVENC, V4L2 mem2mem)
// are tried in turn, and libx264 in software when none of them can be opened.
// The session is set up for real time: no B-frames, Baseline profile, the
// given average bit rate, a keyframe every 60 frames, low-latency rate
// control where the encoder offers it. Output is Annex-B byte stream.
//
// Ownership: the capture object creates it at start (only when the
// experiment is on, so the probing costs nothing otherwise) and stops it in
// its own stop. Threads: encode() on the capture queue; stop() after the
// stream has been stopped and drained. All members are serialised by a lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/CaptureStream.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVBufferRef;

namespace qb {

// Why a session could not be set up; `description()` is the logged text.
struct HardwareEncoderError {
    enum class Kind { sessionCreationFailed, propertySetFailed };
    Kind kind;
    std::int32_t status = 0;
    std::string property; // propertySetFailed only

    std::string description() const;
};

class HardwareEncoder {
public:
    // Encoders tried in this order: hardware first, then software.
    static std::vector<std::string> defaultEncoderNames();

    static constexpr std::int64_t KEYFRAME_INTERVAL = 60;

    // Creates the session with the first encoder of `encoderNames` that
    // opens; without any, hasSession() is false (the comparison is then off).
    HardwareEncoder(std::int64_t width, std::int64_t height, std::int64_t fps, double bitrateMbps,
        std::vector<std::string> encoderNames = defaultEncoderNames());
    ~HardwareEncoder();
    HardwareEncoder(const HardwareEncoder&) = delete;
    HardwareEncoder& operator=(const HardwareEncoder&) = delete;

    bool hasSession() const;
    // The libavcodec encoder in use ("libx264", "h264_vaapi", ...); empty without a session.
    std::string encoderName() const;

    // Encodes one BGRA surface of the session's size; the H.264 bytes of
    // that frame, or nothing (no session, a failure, or no output).
    std::optional<std::vector<std::uint8_t>> encode(const CaptureSurface& surface);

    // Drains and closes the session; encode() returns nothing afterwards.
    void stop();

    std::int64_t width() const { return width_; }
    std::int64_t height() const { return height_; }
    std::int64_t fps() const { return fps_; }
    double bitrateMbps() const { return bitrateMbps_; }

private:
    std::optional<HardwareEncoderError> createSession(const std::string& name);
    void releaseSession();
    bool fillFrame(const CaptureSurface& surface, AVFrame* frame);

    const std::int64_t width_;
    const std::int64_t height_;
    const std::int64_t fps_;
    const double bitrateMbps_;

    mutable std::mutex lock_;
    AVCodecContext* session_ = nullptr;
    AVBufferRef* hwDevice_ = nullptr;
    AVBufferRef* hwFrames_ = nullptr;
    AVFrame* frame_ = nullptr;   // the picture in the encoder's input format
    AVPacket* packet_ = nullptr;
    std::string encoderName_;
    bool nv12_ = false;          // input layout: NV12 (VA-API upload) or planar 4:2:0
    std::int64_t frameCount_ = 0;
    std::optional<std::vector<std::uint8_t>> pendingOutput_;
};

} // namespace qb
