// The latency bench's drawing client on a Wayland desktop: a fullscreen
// window on the output of the given size, changed at 60 fps as the bench's
// X11 client changes its window ("typing": one character cell per frame;
// "reading": the page scrolls 40 rows and a new band is drawn), each change
// stamped with a grey level in the top-left 8x8 pixels.
//
//   qb-latency-stamper <width> <height> <typing|reading>
//
// Writes to standard output, as pairs of doubles: (-1, 0) once the window
// has its size and its first picture, then (level, steady-clock seconds) of
// each stamp as its frame is handed to the compositor. Ends on SIGTERM, or
// when the reader of its output goes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <SDL2/SDL.h>
#include <unistd.h>

namespace {

constexpr int STAMP_SIZE = 8;
constexpr int STAMP_LEVELS = 200;

bool emit(double level, double at)
{
    const double record[2] = {level, at};
    return write(STDOUT_FILENO, record, sizeof record) == sizeof record;
}

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void fill(SDL_Surface* surface, int x, int y, int w, int h, Uint8 grey)
{
    SDL_Rect rect{x, y, w, h};
    SDL_FillRect(surface, &rect, SDL_MapRGB(surface->format, grey, grey, grey));
}

// A page of "text": short dark strokes on light paper.
void drawText(SDL_Surface* surface, int top, int rows, long seed)
{
    fill(surface, 0, top, surface->w, rows, 0xF0);
    for (int y = top + 4; y + 12 < top + rows; y += 20) {
        for (int x = 40; x + 10 < surface->w - 40; x += 9) {
            if ((x * 7 + y * 13 + seed) % 11 < 8) fill(surface, x, y, 7, 12, 0x20);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <width> <height> <typing|reading>\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[1]);
    const int height = std::atoi(argv[2]);
    const bool reading = std::strcmp(argv[3], "reading") == 0;
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "wayland");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    int display = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (display < 0 && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < SDL_GetNumVideoDisplays(); ++i) {
            SDL_Rect bounds;
            if (SDL_GetDisplayBounds(i, &bounds) == 0 && bounds.w == width && bounds.h == height) display = i;
        }
        SDL_Event event;
        if (display < 0) SDL_WaitEventTimeout(&event, 50);
    }
    if (display < 0) {
        std::fprintf(stderr, "no %dx%d output\n", width, height);
        return 1;
    }
    SDL_Window* window = SDL_CreateWindow("qb-latency-stamper", SDL_WINDOWPOS_UNDEFINED_DISPLAY(display),
        SDL_WINDOWPOS_UNDEFINED_DISPLAY(display), width, height, SDL_WINDOW_FULLSCREEN_DESKTOP | SDL_WINDOW_SHOWN);
    if (!window) {
        std::fprintf(stderr, "SDL_CreateWindow: %s\n", SDL_GetError());
        return 1;
    }
    SDL_ShowCursor(SDL_DISABLE);

    // Waits for the window at its size, then draws the first page.
    SDL_Surface* surface = nullptr;
    while (!surface && std::chrono::steady_clock::now() < deadline) {
        SDL_Event event;
        SDL_WaitEventTimeout(&event, 50);
        while (SDL_PollEvent(&event)) {
        }
        int w = 0, h = 0;
        SDL_GetWindowSize(window, &w, &h);
        if (w == width && h == height) surface = SDL_GetWindowSurface(window);
    }
    if (!surface || surface->w != width || surface->h != height) {
        std::fprintf(stderr, "the window did not get its size\n");
        return 1;
    }
    drawText(surface, 0, height, 0);
    SDL_UpdateWindowSurface(window);
    if (!emit(-1, 0)) return 0;

    const auto period = std::chrono::microseconds(16667);
    auto next = std::chrono::steady_clock::now();
    for (long k = 0;; ++k) {
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            if (event.type == SDL_QUIT) return 0;
        }
        SDL_Rect changed[2];
        int count = 0;
        SDL_LockSurface(surface);
        if (reading) {
            auto* pixels = static_cast<Uint8*>(surface->pixels);
            std::memmove(pixels, pixels + 40 * surface->pitch, static_cast<std::size_t>(height - 40) * surface->pitch);
            SDL_UnlockSurface(surface);
            drawText(surface, height - 40, 40, k);
            changed[count++] = {0, 0, width, height};
        } else {
            SDL_UnlockSurface(surface);
            const int columns = (width - 80) / 10, lines = (height - 80) / 20;
            const long cell = k % (static_cast<long>(columns) * lines);
            const int x = 40 + static_cast<int>(cell % columns) * 10, y = 40 + static_cast<int>(cell / columns) * 20;
            fill(surface, x, y, 8, 14, 0x20);
            changed[count++] = {x, y, 8, 14};
        }
        const int level = 32 + static_cast<int>(k % STAMP_LEVELS);
        fill(surface, 0, 0, STAMP_SIZE, STAMP_SIZE, static_cast<Uint8>(level));
        changed[count++] = {0, 0, STAMP_SIZE, STAMP_SIZE};
        const double drawn = now();
        SDL_UpdateWindowSurfaceRects(window, changed, count);
        if (!emit(level, drawn)) return 0;
        // The 60 fps cadence; a present that took longer starts it again.
        next = std::max(next + period, std::chrono::steady_clock::now());
        std::this_thread::sleep_until(next);
    }
}
