// A Wayland client for the wayland backend's tests: a fullscreen window on
// the output of the given size, filled with a known picture (blue = x,
// green = y, red = x xor y, no pointer image over it), reporting on standard
// output what the compositor's pointer does over it:
//   ready
//   motion <x> <y>
//   button <down|up> <button> <x> <y>
//   wheel <x> <y>
// It ends on SIGTERM.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <SDL2/SDL.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <width> <height>\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[1]);
    const int height = std::atoi(argv[2]);
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "wayland");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    int display = -1;
    for (int i = 0; i < SDL_GetNumVideoDisplays(); ++i) {
        SDL_Rect bounds;
        if (SDL_GetDisplayBounds(i, &bounds) == 0 && bounds.w == width && bounds.h == height) display = i;
    }
    if (display < 0) {
        std::fprintf(stderr, "no %dx%d output\n", width, height);
        return 1;
    }
    SDL_Window* window = SDL_CreateWindow("qb-painter", SDL_WINDOWPOS_UNDEFINED_DISPLAY(display),
        SDL_WINDOWPOS_UNDEFINED_DISPLAY(display), width, height, SDL_WINDOW_FULLSCREEN_DESKTOP | SDL_WINDOW_SHOWN);
    if (!window) {
        std::fprintf(stderr, "SDL_CreateWindow: %s\n", SDL_GetError());
        return 1;
    }
    SDL_ShowCursor(SDL_DISABLE);

    auto paint = [&] {
        SDL_Surface* surface = SDL_GetWindowSurface(window);
        if (!surface) return false;
        SDL_LockSurface(surface);
        for (int y = 0; y < surface->h; ++y) {
            auto* row = reinterpret_cast<Uint32*>(static_cast<Uint8*>(surface->pixels) + y * surface->pitch);
            for (int x = 0; x < surface->w; ++x) {
                row[x] = SDL_MapRGB(surface->format, Uint8(x ^ y), Uint8(y), Uint8(x));
            }
        }
        SDL_UnlockSurface(surface);
        return SDL_UpdateWindowSurface(window) == 0;
    };
    bool ready = false;
    for (bool running = true; running;) {
        SDL_Event event;
        if (!SDL_WaitEventTimeout(&event, 100)) {
            // Paint again now and then: the compositor sends the screen-cast
            // a frame only when something changes, and the first one may
            // have gone out before our window was shown.
            if (ready) paint();
            continue;
        }
        do {
            switch (event.type) {
            case SDL_WINDOWEVENT:
                if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED || event.window.event == SDL_WINDOWEVENT_EXPOSED) {
                    int w = 0, h = 0;
                    SDL_GetWindowSize(window, &w, &h);
                    if (w == width && h == height && paint() && !ready) {
                        ready = true;
                        std::printf("ready\n");
                    }
                }
                break;
            case SDL_MOUSEMOTION: std::printf("motion %d %d\n", event.motion.x, event.motion.y); break;
            case SDL_MOUSEBUTTONDOWN:
            case SDL_MOUSEBUTTONUP:
                std::printf("button %s %d %d %d\n", event.type == SDL_MOUSEBUTTONDOWN ? "down" : "up",
                    event.button.button, event.button.x, event.button.y);
                break;
            case SDL_MOUSEWHEEL: std::printf("wheel %.1f %.1f\n", event.wheel.preciseX, event.wheel.preciseY); break;
            case SDL_QUIT: running = false; break;
            default: break;
            }
        } while (SDL_PollEvent(&event));
        std::fflush(stdout);
    }
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}
