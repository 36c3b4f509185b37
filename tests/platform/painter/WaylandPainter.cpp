// A Wayland client for the wayland backend's tests: a fullscreen window on
// the output of the given size, filled with a known picture (blue = x,
// green = y, red = x xor y, no pointer image over it), reporting on standard
// output what the compositor's pointer does over it:
//   ready
//   motion <x> <y>
//   button <down|up> <button> <x> <y>
//   wheel <x> <y>
//   key <name>        a key pressed (SDL's name of it)
//   text <utf-8>      the text a key typed
// With a third argument "hidpi" it looks for an output of that size in
// points and paints every pixel of it (a scaled output), the pointer still
// reported in points. It ends on SIGTERM.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <SDL2/SDL.h>

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 4 && std::strcmp(argv[3], "hidpi") == 0)) {
        std::fprintf(stderr, "usage: %s <width> <height> [hidpi]\n", argv[0]);
        return 2;
    }
    const bool hidpi = argc == 4;
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
        SDL_WINDOWPOS_UNDEFINED_DISPLAY(display), width, height, SDL_WINDOW_FULLSCREEN_DESKTOP | SDL_WINDOW_SHOWN | Uint32(hidpi ? SDL_WINDOW_ALLOW_HIGHDPI : 0));
    if (!window) {
        std::fprintf(stderr, "SDL_CreateWindow: %s\n", SDL_GetError());
        return 1;
    }
    SDL_ShowCursor(SDL_DISABLE);
    SDL_StartTextInput();

    // Every pixel of the output: through a renderer whose output has the
    // output's pixels on a scaled output, else the window's own surface.
    SDL_Renderer* renderer = hidpi ? SDL_CreateRenderer(window, -1, 0) : nullptr;
    SDL_Texture* texture = nullptr;
    std::vector<Uint32> pixels;
    auto paint = [&] {
        if (hidpi) {
            int w = 0, h = 0;
            if (!renderer || SDL_GetRendererOutputSize(renderer, &w, &h) != 0) return false;
            if (!texture) texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, w, h);
            pixels.resize(std::size_t(w) * std::size_t(h));
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    pixels[std::size_t(y) * std::size_t(w) + std::size_t(x)] =
                        0xFF000000U | Uint32(Uint8(x ^ y)) << 16 | Uint32(Uint8(y)) << 8 | Uint8(x);
                }
            }
            SDL_UpdateTexture(texture, nullptr, pixels.data(), w * 4);
            SDL_RenderCopy(renderer, texture, nullptr, nullptr);
            SDL_RenderPresent(renderer);
            return true;
        }
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
                    if (w != width || h != height) std::fprintf(stderr, "a window of %dx%d points\n", w, h);
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
            case SDL_KEYDOWN: std::printf("key %s\n", SDL_GetKeyName(event.key.keysym.sym)); break;
            case SDL_TEXTINPUT: std::printf("text %s\n", event.text.text); break;
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
