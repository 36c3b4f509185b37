// qb_replay_bench: replays recorded desktop frames through the encoder.
//
//   qb_replay_bench [FRAMES_DIR] [--frames N] [--sequences a,b] [--repeat N]
//                   [--padding BYTES] [--json FILE] [--skip-missing]
//
// For every sequence (a directory of NNNN.png frames) it measures, per frame:
//   - the real per-frame path of ScreenCapture, fed through a fake capture
//     stream (conversion, tone curve, keyframe/delta, LZ4, the hand-over);
//   - each kernel alone: conversion, tone curve, XOR, LZ4 of the delta;
//   - references: memcpy of the BGRA frame, a plain scalar version of the
//     same path, zstd level 1 on the same delta, JPEG quality 80 of the frame,
//     x264 ultrafast/zerolatency on one thread.
// Times are the fastest of --repeat runs of each frame; tables give the
// median and 95th percentile over the frames. Every payload produced is
// decoded (LZ4 + XOR) and compared with the converted source frame; any
// difference makes the exit status 1. Exit 77: frames missing with --skip-missing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <lz4.h>
#include <nlohmann/json.hpp>

#include "FrameSequence.h"
#include "References.h"
#include "diagnostics/PlatformLog.h"
#include "pipeline/PixelKernels.h"
#include "pipeline/PreviewEncoder.h"
#include "pipeline/ScreenCapture.h"

namespace fs = std::filesystem;
using namespace qb;
using namespace qb::bench;

namespace {

constexpr int EXIT_SKIPPED = 77;

struct Options {
    fs::path root;
    std::size_t frames = 0;
    std::vector<std::string> sequences;
    int repeat = 3;
    std::size_t padding = 0;
    std::string json;
    bool skipMissing = false;
};

fs::path defaultFramesDirectory()
{
    const fs::path besideRepository = fs::path(QB_SOURCE_DIR) / ".." / "shared" / "frames";
    if (fs::is_directory(besideRepository)) return fs::weakly_canonical(besideRepository);
    return "/work/shared/frames";
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    options.root = defaultFramesDirectory();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (arg == "--frames" || arg == "--repeat" || arg == "--padding") {
            auto v = value();
            if (!v) return std::nullopt;
            const long n = std::strtol(v->c_str(), nullptr, 10);
            if (n < 0 || (arg == "--repeat" && n < 1)) return std::nullopt;
            if (arg == "--frames") options.frames = static_cast<std::size_t>(n);
            if (arg == "--repeat") options.repeat = static_cast<int>(n);
            if (arg == "--padding") options.padding = static_cast<std::size_t>(n);
        } else if (arg == "--sequences") {
            auto v = value();
            if (!v) return std::nullopt;
            std::stringstream list(*v);
            for (std::string name; std::getline(list, name, ',');) {
                if (!name.empty()) options.sequences.push_back(name);
            }
        } else if (arg == "--json") {
            auto v = value();
            if (!v) return std::nullopt;
            options.json = *v;
        } else if (arg == "--skip-missing") {
            options.skipMissing = true;
        } else if (!arg.empty() && arg[0] != '-') {
            options.root = arg;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

double nowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <class F>
double timeMs(F&& f)
{
    const double start = nowMs();
    f();
    return nowMs() - start;
}

struct Summary {
    double median = 0;
    double p95 = 0;
};

Summary summarize(std::vector<double> values)
{
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        const auto index = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size()))) - 1;
        return values[std::min(index, values.size() - 1)];
    };
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, at(0.95)};
}

// Per-frame series: the fastest of the repeats for times, the value for sizes.
struct Series {
    std::vector<double> values;
    void record(std::size_t frame, double value, bool keepMinimum = true)
    {
        if (values.size() <= frame) values.resize(frame + 1, -1);
        if (values[frame] < 0 || !keepMinimum || value < values[frame]) values[frame] = value;
    }
    std::vector<double> present() const
    {
        std::vector<double> out;
        for (double v : values) {
            if (v >= 0) out.push_back(v);
        }
        return out;
    }
    Summary summary() const { return summarize(present()); }
};

// The frame server as the encoder sees it: keeps every payload, nothing in flight.
class RecordingSink final : public FrameSink {
public:
    struct Sent {
        std::vector<std::uint8_t> payload;
        bool isKeyframe;
        std::uint32_t seq;
        std::size_t source;
    };
    void broadcast(std::span<const std::uint8_t> payload, bool isKeyframe, std::uint32_t seq) override
    {
        sent.push_back({{payload.begin(), payload.end()}, isKeyframe, seq, currentSource});
    }
    int inflightFrames() const override { return 0; }
    bool ackProtocolActive() const override { return true; }
    std::optional<LatencyStats> latencyStats() const override { return std::nullopt; }
    FramePacer& framePacer() override { return pacer; }

    std::vector<Sent> sent;
    std::size_t currentSource = 0;
    FramePacer pacer;
};

void runTask(asio::awaitable<void> task)
{
    asio::io_context io;
    std::exception_ptr error;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr e) { error = e; });
    io.run();
    if (error) std::rethrow_exception(error);
}

struct SequenceResult {
    std::string name;
    std::size_t width = 0, height = 0, frames = 0;
    PixelFormat format = PixelFormat::greyscale;
    Series convert, tone, xorDelta, lz4, kernels, path, scalarPath, memcpyFrame;
    Series keyBytes, deltaBytes, pathBytes, zstdMs, zstdBytes, jpegMs, jpegBytes, x264Ms, x264Bytes;
    std::size_t sentFrames = 0, pathKeyframes = 0;
    int mismatches = 0;
    std::vector<std::string> problems;
};

void mismatch(SequenceResult& result, std::string what)
{
    ++result.mismatches;
    if (result.problems.size() < 5) result.problems.push_back(std::move(what));
}

// A plain scalar implementation of the whole path: one pixel and one byte at a time.
void scalarPath(const test::FakeSurface& surface, PixelFormat format, const ToneCurve& curve,
    std::vector<std::uint8_t>& current, const std::vector<std::uint8_t>& previous, std::vector<std::uint8_t>& delta,
    std::vector<char>& compressed, bool keyframe)
{
    const auto w = static_cast<int>(surface.width()), h = static_cast<int>(surface.height());
    const std::uint8_t* base = surface.lockReadOnly();
    if (format == PixelFormat::greyscale) {
        scalar::convertBGRAToGrey(base, surface.bytesPerRow(), current.data(), w, h);
        scalar::applyToneCurve(curve, current.data(), current.size());
    } else {
        scalar::convertBGRAToRGB(base, surface.bytesPerRow(), current.data(), w, h);
    }
    surface.unlockReadOnly();
    const std::uint8_t* source = current.data();
    if (!keyframe) {
        for (std::size_t i = 0; i < current.size(); ++i) delta[i] = current[i] ^ previous[i];
        source = delta.data();
    }
    LZ4_compress_default(reinterpret_cast<const char*>(source), compressed.data(), static_cast<int>(current.size()),
        static_cast<int>(compressed.size()));
}

SequenceResult replay(const FrameSequence& sequence, const Options& options)
{
    SequenceResult result;
    result.name = sequence.name;
    result.width = sequence.width;
    result.height = sequence.height;
    result.frames = sequence.frames.size();
    // Paper-like devices get grey; the colour tablet sequences stream RGB.
    result.format = sequence.name.find("color") != std::string::npos ? PixelFormat::rgb : PixelFormat::greyscale;
    const bool grey = result.format == PixelFormat::greyscale;

    const auto w = static_cast<int>(sequence.width), h = static_cast<int>(sequence.height);
    const std::size_t size = sequence.width * sequence.height * bytesPerPixel(result.format);
    const std::size_t bgraSize = sequence.frames.front()->realBytesPerRow() * sequence.height;
    // The encoder's defaults: contrast 1.0, gamma 1.2.
    const ToneCurve curve = makeToneCurve(1.0, 1.2);
    const PixelKernelSet& kernels = activePixelKernels();

    std::vector<std::vector<std::uint8_t>> reference(sequence.frames.size(), std::vector<std::uint8_t>(size));
    std::vector<std::uint8_t> current(size), previous(size), delta(size), decoded(size), scratch(bgraSize);
    std::vector<char> compressed(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(size))));
    ZstdReference zstd;

    for (int round = 0; round < options.repeat; ++round) {
        const bool first = round == 0;
        for (std::size_t i = 0; i < sequence.frames.size(); ++i) {
            const test::FakeSurface& surface = *sequence.frames[i];
            const bool keyframe = i == 0;

            // The plain scalar path; its output is the reference frame.
            std::vector<std::uint8_t>& out = reference[i];
            const std::vector<std::uint8_t>& before = i > 0 ? reference[i - 1] : previous;
            result.scalarPath.record(i, timeMs([&] {
                scalarPath(surface, result.format, curve, out, before, delta, compressed, keyframe);
            }));

            // Each kernel alone.
            const std::uint8_t* base = surface.lockReadOnly();
            double convertMs = timeMs([&] {
                if (grey) {
                    kernels.toGrey(base, surface.bytesPerRow(), current.data(), w, h);
                } else {
                    kernels.toRGB(base, surface.bytesPerRow(), current.data(), w, h);
                }
            });
            double toneMs = grey ? timeMs([&] { kernels.toneCurve(curve, current.data(), size); }) : 0.0;
            result.memcpyFrame.record(i, timeMs([&] { std::memcpy(scratch.data(), base, bgraSize); }));
            surface.unlockReadOnly();
            if (first && current != reference[i]) mismatch(result, fmt::format("frame {}: kernels differ from the scalar conversion", i));

            double xorMs = 0;
            const std::uint8_t* lz4Input = current.data();
            if (!keyframe) {
                xorMs = timeMs([&] {
                    kernels.xorDelta(current.data(), previous.data(), delta.data(), static_cast<std::int64_t>(size));
                });
                lz4Input = delta.data();
            }
            int n = 0;
            const double lz4Ms = timeMs([&] {
                n = LZ4_compress_default(reinterpret_cast<const char*>(lz4Input), compressed.data(),
                    static_cast<int>(size), static_cast<int>(compressed.size()));
            });
            result.convert.record(i, convertMs);
            result.tone.record(i, toneMs);
            result.xorDelta.record(i, xorMs);
            result.lz4.record(i, lz4Ms);
            result.kernels.record(i, convertMs + toneMs + xorMs + lz4Ms);

            if (first) {
                // Round trip of this payload: decompress, undo the XOR.
                const int d = LZ4_decompress_safe(compressed.data(), reinterpret_cast<char*>(decoded.data()), n,
                    static_cast<int>(size));
                if (d != static_cast<int>(size)) {
                    mismatch(result, fmt::format("frame {}: LZ4 payload does not decompress", i));
                } else {
                    if (!keyframe) {
                        for (std::size_t k = 0; k < size; ++k) decoded[k] ^= previous[k];
                    }
                    if (decoded != reference[i]) mismatch(result, fmt::format("frame {}: kernel payload decodes wrongly", i));
                }
                if (keyframe) {
                    result.keyBytes.record(i, n, false);
                } else {
                    result.deltaBytes.record(i, n, false);
                    std::size_t z = 0;
                    result.zstdMs.record(i, timeMs([&] { z = zstd.compress(delta.data(), size); }));
                    result.zstdBytes.record(i, static_cast<double>(z), false);
                }
                // Every frame compressed whole, for the keyframe sizes.
                if (!keyframe) {
                    result.keyBytes.record(i, LZ4_compress_default(reinterpret_cast<const char*>(current.data()),
                        compressed.data(), static_cast<int>(size), static_cast<int>(compressed.size())), false);
                }
            }
            std::swap(current, previous);
        }

        // The real per-frame path of the encoder.
        {
            PlatformLogMute mute;
            auto backend = std::make_shared<test::FakeCaptureBackend>();
            auto sink = std::make_shared<RecordingSink>();
            ScreenCaptureOptions captureOptions;
            captureOptions.backend = backend;
            captureOptions.timing.drain = std::chrono::milliseconds(1);
            auto capture = std::make_shared<ScreenCapture>(sink, nullptr, 1, static_cast<std::int64_t>(w),
                static_cast<std::int64_t>(h), result.format, captureOptions);
            runTask(capture->start());
            for (std::size_t i = 0; i < sequence.frames.size(); ++i) {
                sink->currentSource = i;
                const std::size_t before = sink->sent.size();
                result.path.record(i, timeMs([&] { backend->deliver(*sequence.frames[i]); }));
                if (first && sink->sent.size() > before) result.pathBytes.record(i, static_cast<double>(sink->sent.back().payload.size()), false);
            }
            runTask(capture->stop());

            if (first) {
                // Play the device: every payload applied in order must give the
                // converted source of the frame that produced it.
                // A dropped delta (tiny or oversized) is absorbed into the
                // encoder's reference, so the device is out of step until the
                // next keyframe; frames in that gap are not compared.
                std::vector<std::uint8_t> screen(size);
                bool inStep = false;
                std::size_t lastSource = 0;
                for (const auto& frame : sink->sent) {
                    const int d = LZ4_decompress_safe(reinterpret_cast<const char*>(frame.payload.data()),
                        reinterpret_cast<char*>(decoded.data()), static_cast<int>(frame.payload.size()),
                        static_cast<int>(size));
                    if (d != static_cast<int>(size)) {
                        mismatch(result, fmt::format("seq {}: payload does not decompress", frame.seq));
                        continue;
                    }
                    if (frame.isKeyframe) {
                        screen = decoded;
                        ++result.pathKeyframes;
                        inStep = true;
                    } else {
                        for (std::size_t k = 0; k < size; ++k) screen[k] ^= decoded[k];
                        if (frame.source != lastSource + 1) inStep = false;
                    }
                    lastSource = frame.source;
                    if (inStep && screen != reference[frame.source]) {
                        mismatch(result, fmt::format("seq {} (frame {}): decoded frame differs from the source",
                            frame.seq, frame.source));
                    }
                }
                result.sentFrames = sink->sent.size();
                if (result.sentFrames == 0) mismatch(result, "the encoder sent nothing");
            }
        }
    }

    // JPEG of the frame as the preview would send it, and x264 on the sequence.
    PreviewEncoder jpeg;
    X264Reference x264(w, h);
    for (std::size_t i = 0; i < sequence.frames.size(); ++i) {
        const test::FakeSurface& surface = *sequence.frames[i];
        std::size_t jpegSize = 0;
        const std::uint8_t* base = surface.lockReadOnly();
        result.jpegMs.record(i, timeMs([&] {
            auto image = jpeg.encode(base, surface.width(), surface.height(), surface.bytesPerRow(), grey);
            jpegSize = image ? image->size() : 0;
        }));
        surface.unlockReadOnly();
        result.jpegBytes.record(i, static_cast<double>(jpegSize), false);
        if (x264.ready()) {
            if (grey) {
                x264.loadGrey(reference[i].data());
            } else {
                x264.loadRGB(reference[i].data());
            }
            std::size_t bytes = 0;
            result.x264Ms.record(i, timeMs([&] { bytes = x264.encode(); }));
            result.x264Bytes.record(i, static_cast<double>(bytes), false);
        }
    }
    return result;
}

std::string cell(const Summary& s, int precision = 3)
{
    return fmt::format("{:.{}f}/{:.{}f}", s.median, precision, s.p95, precision);
}

std::string bytesCell(const Summary& s)
{
    return fmt::format("{:.0f}/{:.0f}", s.median, s.p95);
}

void printTables(const std::vector<SequenceResult>& results)
{
    std::cout << "\nTimes, ms per frame (median/p95), fastest of the repeats\n";
    std::cout << fmt::format("{:<17} {:<6} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15}\n", "sequence", "format",
        "convert", "tone curve", "xor", "lz4", "kernels total", "capture path", "scalar path", "memcpy BGRA");
    for (const auto& r : results) {
        std::cout << fmt::format("{:<17} {:<6} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15}\n", r.name,
            r.format == PixelFormat::greyscale ? "grey" : "rgb", cell(r.convert.summary()), cell(r.tone.summary()),
            cell(r.xorDelta.summary()), cell(r.lz4.summary()), cell(r.kernels.summary()), cell(r.path.summary()),
            cell(r.scalarPath.summary()), cell(r.memcpyFrame.summary()));
    }
    std::cout << "\nSizes, bytes per frame (median/p95), and reference encoders (ms median/p95)\n";
    std::cout << fmt::format("{:<17} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15} {:>17}\n", "sequence",
        "lz4 keyframe", "lz4 delta", "zstd-1 delta", "zstd-1 ms", "jpeg q80", "jpeg ms", "x264 bytes", "x264 ms");
    for (const auto& r : results) {
        std::cout << fmt::format("{:<17} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15} {:>15} {:>17}\n", r.name,
            bytesCell(r.keyBytes.summary()), bytesCell(r.deltaBytes.summary()), bytesCell(r.zstdBytes.summary()),
            cell(r.zstdMs.summary()), bytesCell(r.jpegBytes.summary()), cell(r.jpegMs.summary(), 2),
            bytesCell(r.x264Bytes.summary()), cell(r.x264Ms.summary(), 2));
    }
}

// The performance goals, reported (never enforced: the exit status is about correctness).
void printTargets(const std::vector<SequenceResult>& results)
{
    std::cout << "\nTargets (1600x1200 greyscale sequences)\n";
    for (const auto& r : results) {
        if (r.format != PixelFormat::greyscale || r.width != 1600 || r.height != 1200) continue;
        const double memcpyMs = r.memcpyFrame.summary().median;
        const double convertMs = r.convert.summary().median;
        const double threeKernels = convertMs + r.tone.summary().median + r.xorDelta.summary().median;
        const double pathMs = r.path.summary().median;
        const double scalarMs = r.scalarPath.summary().median;
        const double x264Ms = r.x264Ms.summary().median;
        const bool quiet = r.name == "typing" || r.name == "idle";
        const double x264Goal = quiet ? 5.0 : r.name == "reading" ? 2.0 : 1.0;
        auto mark = [](bool ok) { return ok ? "ok" : "MISSED"; };
        std::cout << fmt::format("{:<17} convert {:.3f} <= memcpy {:.3f}: {} | convert+tone+xor {:.3f} <= 1.5x memcpy: {}"
                                 " | path vs scalar {:.1f}x{} | path vs x264 {:.1f}x (goal {:.0f}x): {}\n",
            r.name, convertMs, memcpyMs, mark(convertMs <= memcpyMs), threeKernels, mark(threeKernels <= 1.5 * memcpyMs),
            pathMs > 0 ? scalarMs / pathMs : 0.0, quiet ? (scalarMs >= 3 * pathMs ? " (goal 3x): ok" : " (goal 3x): MISSED") : "",
            pathMs > 0 ? x264Ms / pathMs : 0.0, x264Goal, mark(x264Ms >= x264Goal * pathMs));
    }
}

nlohmann::json toJson(const Summary& s) { return {{"median", s.median}, {"p95", s.p95}}; }

nlohmann::json toJson(const std::vector<SequenceResult>& results, const Options& options)
{
    nlohmann::json out;
    out["frames_dir"] = options.root.string();
    out["repeat"] = options.repeat;
    out["simd"] = std::string(simdLevelName(activePixelKernels().level));
    for (const auto& r : results) {
        nlohmann::json j;
        j["name"] = r.name;
        j["width"] = r.width;
        j["height"] = r.height;
        j["frames"] = r.frames;
        j["format"] = r.format == PixelFormat::greyscale ? "grey" : "rgb";
        j["ms"] = {{"convert", toJson(r.convert.summary())}, {"tone_curve", toJson(r.tone.summary())},
            {"xor", toJson(r.xorDelta.summary())}, {"lz4", toJson(r.lz4.summary())},
            {"kernels_total", toJson(r.kernels.summary())}, {"capture_path", toJson(r.path.summary())},
            {"scalar_path", toJson(r.scalarPath.summary())}, {"memcpy_bgra", toJson(r.memcpyFrame.summary())},
            {"zstd1_delta", toJson(r.zstdMs.summary())}, {"jpeg_q80", toJson(r.jpegMs.summary())},
            {"x264_ultrafast", toJson(r.x264Ms.summary())}};
        j["bytes"] = {{"lz4_keyframe", toJson(r.keyBytes.summary())}, {"lz4_delta", toJson(r.deltaBytes.summary())},
            {"capture_path_sent", toJson(r.pathBytes.summary())}, {"zstd1_delta", toJson(r.zstdBytes.summary())},
            {"jpeg_q80", toJson(r.jpegBytes.summary())}, {"x264_ultrafast", toJson(r.x264Bytes.summary())}};
        j["sent_frames"] = r.sentFrames;
        j["decode_mismatches"] = r.mismatches;
        out["sequences"].push_back(j);
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    auto options = parseOptions(argc, argv);
    if (!options) {
        std::cerr << "usage: qb_replay_bench [FRAMES_DIR] [--frames N] [--sequences a,b] [--repeat N] "
                     "[--padding BYTES] [--json FILE] [--skip-missing]\n";
        return 2;
    }
    if (!fs::is_directory(options->root)) {
        std::cerr << "qb_replay_bench: no frames directory " << options->root << "\n";
        return options->skipMissing ? EXIT_SKIPPED : 1;
    }
    std::vector<std::string> names = options->sequences.empty() ? listSequences(options->root) : options->sequences;
    if (names.empty()) {
        std::cerr << "qb_replay_bench: no sequences under " << options->root << "\n";
        return options->skipMissing ? EXIT_SKIPPED : 1;
    }

    std::cout << "frames: " << options->root.string() << " | kernels: " << simdLevelName(activePixelKernels().level)
              << " | repeat: " << options->repeat << "\n";
    std::vector<SequenceResult> results;
    int mismatches = 0;
    for (const auto& name : names) {
        std::string error;
        auto sequence = loadSequence(options->root / name, options->frames, options->padding, error);
        if (!sequence) {
            std::cerr << "qb_replay_bench: " << name << ": " << error << "\n";
            if (options->skipMissing && !fs::exists(options->root / name)) return EXIT_SKIPPED;
            return 1;
        }
        std::cerr << "replaying " << name << " (" << sequence->frames.size() << " frames " << sequence->width << "x"
                  << sequence->height << ")\n";
        results.push_back(replay(*sequence, *options));
        const auto& r = results.back();
        mismatches += r.mismatches;
        for (const auto& problem : r.problems) std::cerr << "  DECODE MISMATCH " << name << ": " << problem << "\n";
    }

    printTables(results);
    printTargets(results);
    if (!options->json.empty()) {
        std::ofstream file(options->json);
        file << toJson(results, *options).dump(2) << "\n";
        if (!file) {
            std::cerr << "qb_replay_bench: cannot write " << options->json << "\n";
            return 1;
        }
    }
    if (mismatches > 0) {
        std::cout << "\nFAILED: " << mismatches << " decoded frame(s) differ from the converted source\n";
        return 1;
    }
    std::cout << "\nAll payloads decode to the converted source frames.\n";
    return 0;
}
