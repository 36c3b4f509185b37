// quillbright-viewer: see usage() below.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <SDL.h>

#include "viewer/Viewer.h"

namespace {

constexpr int exitOk = 0;
constexpr int exitStream = 1;
constexpr int exitUsage = 2;
constexpr int exitConnect = 3;

void usage(std::FILE* out)
{
    std::fputs(R"(usage: quillbright-viewer [options]

Shows a QuillBright display in a window, as the tablet would: connects to a
frame port, decodes and shows every frame (greyscale or colour), acknowledges
it, and sends the mouse back as touch input (press, drag and release touch
the screen; the wheel scrolls). Any Linux machine can play the tablet, over
an ssh tunnel or in Wi-Fi mode.

  --host ADDR         host to connect to (default 127.0.0.1)
  --port N            frame port (default 8888)
  --touch-port N      input port (default 8892)
  --no-touch          do not send touch input
  --scale F           first window size as a factor of the picture (default 0.5)
  --frames N          end after showing N frames (for scripts)
  --version           print the version
  --help              show this text

When the host ends the stream (a restart, a new resolution) the window stays
and the viewer connects again (after 0.5 s, then waiting up to 4 s between
tries) until it is closed; the window takes the new picture's size.

Keys: Esc or q closes the window. Exit status: 0 when the window was closed
(or Ctrl+C, SIGTERM, --frames), 1 on a protocol violation, 2 on bad options,
3 when the first connection could not be made.
)",
        out);
}

template <class T>
bool parseNumber(const std::string& text, T& out)
{
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

} // namespace

int main(int argc, char** argv)
{
    qb::viewer::ViewerOptions options;
    std::uint64_t maxFrames = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        auto next = [&] {
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return exitOk;
        } else if (arg == "--version") {
            std::printf("quillbright-viewer %s\n", QB_VERSION);
            return exitOk;
        } else if (arg == "--host") {
            ok = next();
            options.host = value;
        } else if (arg == "--port") {
            ok = next() && parseNumber(value, options.port);
        } else if (arg == "--touch-port") {
            ok = next() && parseNumber(value, options.touchPort);
        } else if (arg == "--no-touch") {
            options.touch = false;
        } else if (arg == "--scale") {
            ok = next() && parseNumber(value, options.scale) && options.scale > 0 && options.scale <= 4;
        } else if (arg == "--frames") {
            ok = next() && parseNumber(value, maxFrames);
        } else {
            std::fprintf(stderr, "quillbright-viewer: unknown option %s\n", arg.c_str());
            usage(stderr);
            return exitUsage;
        }
        if (!ok) {
            std::fprintf(stderr, "quillbright-viewer: %s needs a valid value\n", arg.c_str());
            return exitUsage;
        }
    }

    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "quillbright-viewer: cannot start SDL: %s\n", SDL_GetError());
        return exitConnect;
    }
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    int status = exitOk;
    {
        qb::viewer::Viewer viewer(options);
        if (!viewer.open(std::chrono::seconds(10))) {
            std::fprintf(stderr, "quillbright-viewer: %s\n", viewer.error().c_str());
            status = viewer.client().violation().empty() ? exitConnect : exitStream;
        } else {
            bool connected = true;
            std::uint64_t reconnects = 0;
            while (viewer.step(std::chrono::milliseconds(8))) {
                if (maxFrames > 0 && viewer.framesShown() >= maxFrames) break;
                if (connected && !viewer.connected()) {
                    std::printf("%s; connecting again\n", viewer.error().c_str());
                    std::fflush(stdout);
                } else if (viewer.reconnects() != reconnects) {
                    reconnects = viewer.reconnects();
                    std::printf("connected again: %ux%u\n", viewer.client().decoder().width(),
                        viewer.client().decoder().height());
                    std::fflush(stdout);
                }
                connected = viewer.connected();
            }
            if (!viewer.client().violation().empty()) {
                std::fprintf(stderr, "quillbright-viewer: %s\n", viewer.error().c_str());
                status = exitStream;
            }
            std::printf("frames shown %llu, touches sent %llu\n",
                static_cast<unsigned long long>(viewer.framesShown()),
                static_cast<unsigned long long>(viewer.touchesSent()));
        }
    }
    SDL_Quit();
    return status;
}
