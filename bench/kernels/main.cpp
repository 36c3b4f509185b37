// qb_kernel_bench: the frame path's pieces as Google Benchmark cases, side by
// side in one run on one recorded sequence, followed by the ratios the
// encoder is held to.
//
//   qb_kernel_bench [--frames-dir DIR] [--sequence NAME] [--frames N] [benchmark flags]
//
// Each iteration encodes the next frame of the sequence (wrapping round), so
// a case's time is its mean per frame over the sequence. The rows that
// changed from one frame to the next (what the X server reports as damage)
// are found before any timing. Cases:
//   memcpy          a copy of the BGRA source frame
//   scalar          the whole path one pixel and one byte at a time, then LZ4
//   fused/LEVEL     the encoder's one pass over the frame with each kernel set
//                   this processor has (grey or RGB, tone curve, XOR, reference)
//   full            FrameEncoder told the whole frame changed, then LZ4
//   full/one-core   the same without the RowSplitter's helpers
//   damage          FrameEncoder told only the changed rows, then LZ4
//   unchanged       the same frame again with no damage
//   double2x        the frame's top-left quarter enlarged to the whole frame
//                   by doubleBGRA (a HiDPI display on X11: its points
//                   repeated into the tablet's pixels)
//   area2x          the same enlargement by the mirror scaler's area filter
//   zstd-1, jpeg-q80, x264   reference encoders (x264: ultrafast, zerolatency,
//                   one thread; its input planes are loaded outside the timing)
// Exit 77 when the sequence is not on this machine.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <lz4.h>

#include "../replay/FrameSequence.h"
#include "../replay/References.h"
#include "pipeline/FrameEncoder.h"
#include "pipeline/PreviewEncoder.h"
#include "platform/MirrorScaler.h"

namespace fs = std::filesystem;
using namespace qb;

namespace {

constexpr double GAMMA = 1.2; // the default tone curve

struct Corpus {
    bench::FrameSequence sequence;
    PixelFormat format = PixelFormat::greyscale;
    std::vector<std::vector<CaptureRect>> damage; // per frame, against the one before
    std::vector<std::vector<std::uint8_t>> converted; // the scalar conversion of each frame
    std::size_t frameBytes = 0;
};

Corpus corpus;

std::size_t frameCount() { return corpus.sequence.frames.size(); }

const test::FakeSurface& frame(std::size_t i) { return *corpus.sequence.frames[i % frameCount()]; }

bool grey() { return corpus.format == PixelFormat::greyscale; }

// The plain definitions, one pixel and one byte at a time.
void convertScalar(const test::FakeSurface& surface, const ToneCurve& curve, std::vector<std::uint8_t>& out)
{
    const int w = static_cast<int>(surface.width()), h = static_cast<int>(surface.height());
    const std::uint8_t* base = surface.lockReadOnly();
    if (grey()) {
        scalar::convertBGRAToGrey(base, surface.bytesPerRow(), out.data(), w, h);
        scalar::applyToneCurve(curve, out.data(), out.size());
    } else {
        scalar::convertBGRAToRGB(base, surface.bytesPerRow(), out.data(), w, h);
    }
    surface.unlockReadOnly();
}

void prepare()
{
    const std::size_t w = corpus.sequence.width, h = corpus.sequence.height;
    // A name with "color" streams RGB, as a colour tablet does.
    corpus.format = corpus.sequence.name.find("color") != std::string::npos ? PixelFormat::rgb : PixelFormat::greyscale;
    corpus.frameBytes = w * h * bytesPerPixel(corpus.format);
    const ToneCurve curve = makeToneCurve(1.0, GAMMA);
    for (std::size_t i = 0; i < frameCount(); ++i) {
        std::vector<std::uint8_t> out(corpus.frameBytes);
        convertScalar(frame(i), curve, out);
        corpus.converted.push_back(std::move(out));
    }
    // Damage: bands of rows whose converted bytes differ from the frame before
    // (the first frame, and the wrap round to it, change everything).
    const std::size_t rowBytes = w * bytesPerPixel(corpus.format);
    for (std::size_t i = 0; i < frameCount(); ++i) {
        const auto& now = corpus.converted[i];
        const auto& before = corpus.converted[(i + frameCount() - 1) % frameCount()];
        std::vector<CaptureRect> bands;
        for (std::size_t y = 0; y < h; ++y) {
            if (std::memcmp(now.data() + y * rowBytes, before.data() + y * rowBytes, rowBytes) == 0) continue;
            if (!bands.empty() && bands.back().y + bands.back().height == y) {
                ++bands.back().height;
            } else {
                bands.push_back({0, y, w, 1});
            }
        }
        corpus.damage.push_back(std::move(bands));
    }
}

void setPerFrame(benchmark::State& state)
{
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame(0).bytesPerRow() * corpus.sequence.height));
}

void memcpyFrame(benchmark::State& state)
{
    std::vector<std::uint8_t> target(frame(0).bytesPerRow() * corpus.sequence.height);
    std::size_t i = 0;
    for (auto _ : state) {
        const test::FakeSurface& surface = frame(i++);
        std::memcpy(target.data(), surface.lockReadOnly(), target.size());
        surface.unlockReadOnly();
        benchmark::DoNotOptimize(target.data());
    }
    setPerFrame(state);
}

void scalarPath(benchmark::State& state)
{
    const ToneCurve curve = makeToneCurve(1.0, GAMMA);
    std::vector<std::uint8_t> current(corpus.frameBytes), previous(corpus.frameBytes), delta(corpus.frameBytes);
    std::vector<char> compressed(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(corpus.frameBytes))));
    std::size_t i = 0;
    for (auto _ : state) {
        convertScalar(frame(i++), curve, current);
        for (std::size_t k = 0; k < current.size(); ++k) delta[k] = current[k] ^ previous[k];
        benchmark::DoNotOptimize(LZ4_compress_default(reinterpret_cast<const char*>(delta.data()), compressed.data(),
            static_cast<int>(delta.size()), static_cast<int>(compressed.size())));
        std::swap(current, previous);
    }
    setPerFrame(state);
}

void fusedPass(benchmark::State& state, const PixelKernelSet* kernels)
{
    const ToneCurve curve = makeToneCurve(1.0, GAMMA);
    std::vector<std::uint8_t> reference(corpus.frameBytes), delta(corpus.frameBytes);
    const int w = static_cast<int>(corpus.sequence.width), h = static_cast<int>(corpus.sequence.height);
    std::size_t i = 0;
    for (auto _ : state) {
        const test::FakeSurface& surface = frame(i++);
        const std::uint8_t* base = surface.lockReadOnly();
        if (grey()) {
            kernels->encodeGrey(base, surface.bytesPerRow(), w, h, &curve, reference.data(), delta.data());
        } else {
            kernels->encodeRGB(base, surface.bytesPerRow(), w, h, reference.data(), delta.data());
        }
        surface.unlockReadOnly();
        benchmark::DoNotOptimize(delta.data());
    }
    setPerFrame(state);
}

enum class Damage { whole, changedRows, none };

void encoderPath(benchmark::State& state, Damage damage, RowSplitter* splitter)
{
    FrameEncoder encoder(corpus.sequence.width, corpus.sequence.height, corpus.format, nullptr, splitter);
    const std::vector<CaptureRect> whole{{0, 0, corpus.sequence.width, corpus.sequence.height}};
    // The unchanged case starts from a frame already taken in.
    encoder.takeIn(frame(0).lockReadOnly(), frame(0).bytesPerRow(), whole, 1.0, GAMMA);
    frame(0).unlockReadOnly();
    std::size_t i = damage == Damage::none ? 0 : 1;
    for (auto _ : state) {
        const std::size_t index = i % frameCount();
        const test::FakeSurface& surface = frame(i++);
        const std::vector<CaptureRect> none;
        const std::vector<CaptureRect>& changed = damage == Damage::whole ? whole
            : damage == Damage::none                                       ? none
                                                                            : corpus.damage[index];
        encoder.takeIn(surface.lockReadOnly(), surface.bytesPerRow(), changed, 1.0, GAMMA);
        surface.unlockReadOnly();
        benchmark::DoNotOptimize(encoder.compressDelta().size());
    }
    setPerFrame(state);
}

// A HiDPI picture (the frame's top-left quarter) to the tablet's pixels.
void enlargeFrame(benchmark::State& state, bool exact)
{
    const std::size_t w = corpus.sequence.width, h = corpus.sequence.height;
    std::vector<std::uint8_t> target(w * h * 4);
    MirrorScaler scaler;
    std::size_t i = 0;
    for (auto _ : state) {
        const test::FakeSurface& surface = frame(i++);
        if (exact) {
            doubleBGRA(surface.lockReadOnly(), surface.bytesPerRow(), w / 2, h / 2, target.data(), w * 4);
        } else {
            scaler.scale(surface.lockReadOnly(), w / 2, h / 2, surface.bytesPerRow(), target.data(), w / 2 * 2, h / 2 * 2);
        }
        surface.unlockReadOnly();
        benchmark::DoNotOptimize(target.data());
    }
    setPerFrame(state);
}

void zstdDelta(benchmark::State& state)
{
    bench::ZstdReference zstd;
    std::vector<std::uint8_t> delta(corpus.frameBytes);
    std::size_t i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::size_t index = i++ % frameCount();
        const auto& now = corpus.converted[index];
        const auto& before = corpus.converted[(index + frameCount() - 1) % frameCount()];
        for (std::size_t k = 0; k < delta.size(); ++k) delta[k] = now[k] ^ before[k];
        state.ResumeTiming();
        benchmark::DoNotOptimize(zstd.compress(delta.data(), delta.size()));
    }
    setPerFrame(state);
}

void jpegFrame(benchmark::State& state)
{
    PreviewEncoder jpeg;
    std::size_t i = 0;
    for (auto _ : state) {
        const test::FakeSurface& surface = frame(i++);
        auto image = jpeg.encode(surface.lockReadOnly(), surface.width(), surface.height(), surface.bytesPerRow(), grey());
        surface.unlockReadOnly();
        benchmark::DoNotOptimize(image);
    }
    setPerFrame(state);
}

void x264Frame(benchmark::State& state)
{
    bench::X264Reference x264(static_cast<int>(corpus.sequence.width), static_cast<int>(corpus.sequence.height));
    if (!x264.ready()) {
        state.SkipWithError("x264 does not open at this size");
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto& picture = corpus.converted[i++ % frameCount()];
        if (grey()) {
            x264.loadGrey(picture.data());
        } else {
            x264.loadRGB(picture.data());
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(x264.encode());
    }
    setPerFrame(state);
}

// Keeps each case's mean time per frame for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ms;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                ms[run.benchmark_name()] = run.GetAdjustedRealTime(); // every case reports milliseconds
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

double ratio(const std::map<std::string, double>& ms, const std::string& a, const std::string& b)
{
    const auto x = ms.find(a), y = ms.find(b);
    return x != ms.end() && y != ms.end() && y->second > 0 ? x->second / y->second : 0.0;
}

} // namespace

int main(int argc, char** argv)
{
    fs::path root = bench::defaultFramesDirectory();
    std::string name = "reading";
    std::size_t frames = 0;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames-dir" && i + 1 < argc) {
            root = argv[++i];
        } else if (arg == "--sequence" && i + 1 < argc) {
            name = argv[++i];
        } else if (arg == "--frames" && i + 1 < argc) {
            frames = std::stoul(argv[++i]);
        } else {
            rest.push_back(argv[i]);
        }
    }
    std::string error;
    auto loaded = bench::loadNamedSequence(root, name, frames, 0, error);
    if (!loaded || loaded->frames.empty()) {
        std::cerr << "qb_kernel_bench: no frames in " << (root / name) << ": " << error << "\n";
        return 77;
    }
    corpus.sequence = std::move(*loaded);
    prepare();
    std::cout << fmt::format("sequence {} ({} frames {}x{} {}), ms per frame below\n", corpus.sequence.name, frameCount(),
        corpus.sequence.width, corpus.sequence.height, grey() ? "grey" : "rgb");

    const auto unit = benchmark::kMillisecond;
    benchmark::RegisterBenchmark("memcpy", memcpyFrame)->Unit(unit);
    benchmark::RegisterBenchmark("scalar", scalarPath)->Unit(unit);
    for (auto level : {SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512bw, SimdLevel::avx512vbmi}) {
        if (const PixelKernelSet* set = pixelKernels(level)) {
            benchmark::RegisterBenchmark(fmt::format("fused/{}", simdLevelName(level)).c_str(), fusedPass, set)->Unit(unit);
        }
    }
    benchmark::RegisterBenchmark("full", encoderPath, Damage::whole, RowSplitter::shared())->Unit(unit);
    benchmark::RegisterBenchmark("full/one-core", encoderPath, Damage::whole, nullptr)->Unit(unit);
    benchmark::RegisterBenchmark("damage", encoderPath, Damage::changedRows, RowSplitter::shared())->Unit(unit);
    benchmark::RegisterBenchmark("unchanged", encoderPath, Damage::none, RowSplitter::shared())->Unit(unit);
    benchmark::RegisterBenchmark("double2x", enlargeFrame, true)->Unit(unit);
    benchmark::RegisterBenchmark("area2x", enlargeFrame, false)->Unit(unit);
    benchmark::RegisterBenchmark("zstd-1", zstdDelta)->Unit(unit);
    benchmark::RegisterBenchmark("jpeg-q80", jpegFrame)->Unit(unit);
    benchmark::RegisterBenchmark("x264", x264Frame)->Unit(unit);

    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 2;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& ms = reporter.ms;
    const std::string best = fmt::format("fused/{}", simdLevelName(activePixelKernels().level));
    std::cout << fmt::format("\nratios: {}/memcpy {:.2f} | fused/avx2/memcpy {:.2f} | x264/full {:.1f} | "
                             "x264/full one-core {:.1f} | x264/damage {:.1f} | unchanged/full {:.3f} | scalar/full {:.1f} | "
                             "double2x/memcpy {:.2f} | area2x/double2x {:.1f}\n",
        best, ratio(ms, best, "memcpy"), ratio(ms, "fused/avx2", "memcpy"), ratio(ms, "x264", "full"), ratio(ms, "x264", "full/one-core"),
        ratio(ms, "x264", "damage"), ratio(ms, "unchanged", "full"), ratio(ms, "scalar", "full"),
        ratio(ms, "double2x", "memcpy"), ratio(ms, "area2x", "double2x"));
    return 0;
}
