#include "companion/FrameDecoder.h"

#include <chrono>
#include <limits>

#include <fmt/format.h>
#include <lz4.h>

namespace qb::companion {

namespace {

const char* commandName(CommandCode code)
{
    switch (code) {
    case CommandCode::brightness: return "brightness";
    case CommandCode::warmth: return "warmth";
    case CommandCode::resolution: return "resolution";
    case CommandCode::pixelFormat: return "pixel format";
    }
    return "?";
}

} // namespace

std::optional<std::string> FrameDecoder::apply(const HostMessage& message)
{
    if (const auto* command = std::get_if<CommandMessage>(&message)) return applyCommand(*command);
    return applyFrame(std::get<FrameMessage>(message));
}

std::optional<std::string> FrameDecoder::applyCommand(const CommandMessage& command)
{
    static constexpr CommandCode greeting[] = {
        CommandCode::resolution, CommandCode::pixelFormat, CommandCode::brightness, CommandCode::warmth};
    if (greetingSeen_ < 4) {
        if (command.code != greeting[greetingSeen_]) {
            return fmt::format("greeting message {} is a {} command, expected {}", greetingSeen_ + 1,
                commandName(command.code), commandName(greeting[greetingSeen_]));
        }
        ++greetingSeen_;
    }
    ++counters_.commands;
    switch (command.code) {
    case CommandCode::resolution: {
        if (command.width == 0 || command.height == 0) {
            return fmt::format("resolution {}x{} has a zero side", command.width, command.height);
        }
        if (std::uint64_t{command.width} * command.height > maxPixels_) {
            return fmt::format("resolution {}x{} exceeds {} pixels", command.width, command.height, maxPixels_);
        }
        width_ = command.width;
        height_ = command.height;
        haveResolution_ = true;
        resetPicture();
        break;
    }
    case CommandCode::pixelFormat:
        pixelFormat_ = static_cast<FramePixelFormat>(command.value);
        havePixelFormat_ = true;
        resetPicture();
        break;
    case CommandCode::brightness: brightness_ = command.value; break;
    case CommandCode::warmth: warmth_ = command.value; break;
    }
    return std::nullopt;
}

void FrameDecoder::resetPicture()
{
    // A new geometry or format: the frames that follow need a keyframe first.
    hasPicture_ = false;
    frame_.assign(haveResolution_ ? frameSize() : 0, 0);
}

std::optional<std::string> FrameDecoder::applyFrame(const FrameMessage& frame)
{
    if (!greetingComplete()) {
        return fmt::format("frame {} arrived before the greeting was complete", frame.sequenceNumber);
    }
    if (lastSequence_ && frame.sequenceNumber != static_cast<std::uint32_t>(*lastSequence_ + 1)) {
        return fmt::format("frame {} follows frame {} (sequence gap)", frame.sequenceNumber, *lastSequence_);
    }
    lastSequence_ = frame.sequenceNumber;
    ++counters_.frames;
    counters_.payloadBytes += frame.payload.size();

    if (!frame.isKeyframe && !hasPicture_) {
        ++counters_.deltasBeforeKeyframe;
        return std::nullopt;
    }
    const std::size_t expected = frameSize();
    if (frame.payload.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())
        || expected > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return fmt::format("frame {} is too large to decode", frame.sequenceNumber);
    }
    const auto started = std::chrono::steady_clock::now();
    scratch_.resize(expected);
    const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(frame.payload.data()),
        reinterpret_cast<char*>(scratch_.data()), static_cast<int>(frame.payload.size()), static_cast<int>(expected));
    if (n < 0 || static_cast<std::size_t>(n) != expected) {
        return fmt::format("{} {} does not decompress to {} bytes ({}x{}x{}): LZ4 result {}",
            frame.isKeyframe ? "keyframe" : "delta", frame.sequenceNumber, expected, width_, height_,
            bytesPerPixel(), n);
    }
    if (frame.isKeyframe) {
        frame_.swap(scratch_);
        hasPicture_ = true;
        ++counters_.keyframes;
    } else {
        for (std::size_t i = 0; i < expected; ++i) frame_[i] ^= scratch_[i];
        ++counters_.deltas;
    }
    counters_.decodeSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return std::nullopt;
}

} // namespace qb::companion
