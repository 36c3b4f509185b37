// quillbright-viewer: a window that plays the tablet. It connects to a frame
// port like the companion app, shows each decoded picture (greyscale or
// RGB, letterboxed to the window), acknowledges every frame, and turns the
// mouse into touch messages on the input port: a press, drag and release
// become down, move and up at the pointer's place on the picture, the wheel
// becomes scroll. Decoding is the reference client's (CompanionClient and
// its FrameDecoder); nothing here parses the stream.
//
// When the host ends the stream (a restart, a new resolution) the viewer
// keeps its window and connects again, waiting 0.5 s after the loss and
// doubling the wait up to 4 s between failed tries, for as long as it is
// open; the window takes the new stream's size.
//
// Threads: one. SDL must be initialised (video) before a Viewer is made and
// every call comes from the thread that made it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <SDL.h>

#include "companion/CompanionClient.h"
#include "companion/TouchScript.h"

namespace qb::viewer {

// Where the picture lies in the window: scaled to fit, centred.
struct PictureRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

PictureRect fitPicture(int windowWidth, int windowHeight, int pictureWidth, int pictureHeight);

// Mouse to touch, pure. Positions are window pixels; a press outside the
// picture is ignored, a drag that leaves it is clamped to its edge.
class TouchMapper {
public:
    // Scroll amount per wheel step, as a fraction of the display.
    static constexpr float WHEEL_STEP = 0.05f;
    using Message = std::array<std::uint8_t, companion::TOUCH_BYTES>;

    void setPicture(PictureRect rect) { rect_ = rect; }
    std::optional<Message> press(int x, int y);
    std::optional<Message> motion(int x, int y);
    std::optional<Message> release(int x, int y);
    // SDL's wheel steps: y > 0 away from the user, x > 0 to the right.
    std::optional<Message> wheel(float stepsX, float stepsY);
    bool pressed() const { return pressed_; }

private:
    std::pair<float, float> fraction(int x, int y) const;
    bool inside(int x, int y) const;

    PictureRect rect_;
    bool pressed_ = false;
    float lastX_ = 0.5f;
    float lastY_ = 0.5f;
};

struct ViewerOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8888;
    std::uint16_t touchPort = 8892;
    bool touch = true;
    std::string title = "QuillBright viewer";
    // The first window size: the picture's size times this.
    double scale = 0.5;
    // Renderer flags for SDL_CreateRenderer (0: SDL picks).
    std::uint32_t rendererFlags = 0;
    // Waits before trying again after the stream was lost: the first, then
    // doubled after each failed try up to the last.
    std::chrono::milliseconds firstRetry{500};
    std::chrono::milliseconds longestRetry{4000};
};

class Viewer {
public:
    explicit Viewer(ViewerOptions options);
    ~Viewer();
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Connects the frame port (and the input port), reads the greeting and
    // opens the window at the greeting's size. False with error() set.
    bool open(std::chrono::milliseconds timeout);

    // One turn of the loop: reads what the host sent within `wait`
    // (acknowledging frames), handles the window's events, draws when the
    // picture changed; with the stream lost, tries to connect again when
    // the wait is over. False once the viewer should end (window closed or
    // protocol violation: see error()).
    bool step(std::chrono::milliseconds wait);
    // The stream is up (false between its loss and the next greeting).
    bool connected() const { return connected_; }
    // Streams taken up again after a loss.
    std::uint64_t reconnects() const { return reconnects_; }

    // The window's current contents as packed RGB, read back from the renderer.
    std::vector<std::uint8_t> readWindowRGB(int& width, int& height);
    // The decoded picture as packed RGB (greyscale widened).
    std::vector<std::uint8_t> pictureRGB() const;

    std::uint64_t framesShown() const { return framesShown_; }
    std::uint64_t touchesSent() const { return touchesSent_; }
    const std::string& error() const { return error_; }
    const companion::CompanionClient& client() const { return *client_; }
    SDL_Window* window() const { return window_; }
    PictureRect picture() const;

private:
    // Connects the frame port, reads the greeting, connects the input port;
    // false with error() set, the client closed.
    bool connectStream(std::chrono::milliseconds timeout);
    void lostStream(std::string why);
    void tryReconnect();
    // The window at the picture's size times the scale.
    void fitWindow(int pictureWidth, int pictureHeight);
    void handleEvent(const SDL_Event& event);
    void sendTouch(const std::optional<TouchMapper::Message>& message);
    bool uploadPicture();
    void draw();

    ViewerOptions options_;
    // A fresh client for every connection: the decoder and the message
    // reader start over with the new stream.
    std::unique_ptr<companion::CompanionClient> client_ = std::make_unique<companion::CompanionClient>();
    std::optional<companion::TouchSender> touch_;
    TouchMapper mapper_;
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    int textureWidth_ = 0;
    int textureHeight_ = 0;
    bool dirty_ = false;
    bool quit_ = false;
    bool connected_ = false;
    std::chrono::milliseconds retryWait_{0};
    std::chrono::steady_clock::time_point retryAt_;
    std::uint64_t reconnects_ = 0;
    std::uint64_t framesShown_ = 0;
    std::uint64_t touchesSent_ = 0;
    std::string error_;
};

} // namespace qb::viewer
