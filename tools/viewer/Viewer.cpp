#include "viewer/Viewer.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace qb::viewer {

using companion::encodeTouch;

PictureRect fitPicture(int windowWidth, int windowHeight, int pictureWidth, int pictureHeight)
{
    if (windowWidth <= 0 || windowHeight <= 0 || pictureWidth <= 0 || pictureHeight <= 0) return {};
    // Compare the two aspect ratios without rounding: the picture fills the
    // width when it is relatively wider than the window.
    const auto ww = static_cast<long long>(windowWidth);
    const auto wh = static_cast<long long>(windowHeight);
    PictureRect rect;
    if (ww * pictureHeight <= wh * pictureWidth) {
        rect.width = windowWidth;
        rect.height = static_cast<int>(std::max<long long>(1, ww * pictureHeight / pictureWidth));
    } else {
        rect.height = windowHeight;
        rect.width = static_cast<int>(std::max<long long>(1, wh * pictureWidth / pictureHeight));
    }
    rect.x = (windowWidth - rect.width) / 2;
    rect.y = (windowHeight - rect.height) / 2;
    return rect;
}

// ---------------------------------------------------------------------------
// TouchMapper

bool TouchMapper::inside(int x, int y) const
{
    return rect_.width > 0 && rect_.height > 0 && x >= rect_.x && y >= rect_.y && x < rect_.x + rect_.width
        && y < rect_.y + rect_.height;
}

std::pair<float, float> TouchMapper::fraction(int x, int y) const
{
    // Pixel centres, so the first column is a little right of 0 and the last
    // a little left of 1, as a finger on the device would report them.
    const int cx = std::clamp(x - rect_.x, 0, std::max(0, rect_.width - 1));
    const int cy = std::clamp(y - rect_.y, 0, std::max(0, rect_.height - 1));
    return {(static_cast<float>(cx) + 0.5f) / static_cast<float>(rect_.width),
        (static_cast<float>(cy) + 0.5f) / static_cast<float>(rect_.height)};
}

std::optional<TouchMapper::Message> TouchMapper::press(int x, int y)
{
    if (pressed_ || !inside(x, y)) return std::nullopt;
    pressed_ = true;
    std::tie(lastX_, lastY_) = fraction(x, y);
    return encodeTouch(1, lastX_, lastY_, 0, 0);
}

std::optional<TouchMapper::Message> TouchMapper::motion(int x, int y)
{
    if (!pressed_) return std::nullopt;
    const auto [fx, fy] = fraction(x, y);
    if (fx == lastX_ && fy == lastY_) return std::nullopt;
    lastX_ = fx;
    lastY_ = fy;
    return encodeTouch(2, fx, fy, 0, 0);
}

std::optional<TouchMapper::Message> TouchMapper::release(int x, int y)
{
    if (!pressed_) return std::nullopt;
    pressed_ = false;
    std::tie(lastX_, lastY_) = fraction(x, y);
    return encodeTouch(3, lastX_, lastY_, 0, 0);
}

std::optional<TouchMapper::Message> TouchMapper::wheel(float stepsX, float stepsY)
{
    if (!std::isfinite(stepsX) || !std::isfinite(stepsY) || (stepsX == 0 && stepsY == 0)) return std::nullopt;
    // The desktop scrolls content down for a positive vertical amount (the
    // wheel turned away from the user) and left for a positive horizontal one.
    return encodeTouch(4, lastX_, lastY_, -stepsX * WHEEL_STEP, stepsY * WHEEL_STEP);
}

// ---------------------------------------------------------------------------
// Viewer

Viewer::Viewer(ViewerOptions options) : options_(std::move(options)) {}

Viewer::~Viewer()
{
    if (texture_) SDL_DestroyTexture(texture_);
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (window_) SDL_DestroyWindow(window_);
}

bool Viewer::connectStream(std::chrono::milliseconds timeout)
{
    client_ = std::make_unique<companion::CompanionClient>();
    touch_.reset();
    if (!client_->connect(options_.host, options_.port, timeout)) {
        error_ = fmt::format("cannot connect to {}:{}", options_.host, options_.port);
        return false;
    }
    const auto greeting = client_->readGreeting(timeout);
    if (!greeting) {
        error_ = client_->violation().empty() ? "no complete greeting from the host"
                                              : "protocol violation: " + client_->violation();
        client_->close();
        return false;
    }
    if (options_.touch) {
        touch_.emplace();
        if (!touch_->connect(options_.host, options_.touchPort, timeout)) {
            touch_.reset();
            client_->close();
            error_ = fmt::format("cannot connect to the input port {}:{}", options_.host, options_.touchPort);
            return false;
        }
    }
    error_.clear();
    connected_ = true;
    return true;
}

bool Viewer::open(std::chrono::milliseconds timeout)
{
    if (!connectStream(timeout)) return false;
    const auto& decoder = client_->decoder();
    const int width = std::max(1, static_cast<int>(std::lround(decoder.width() * options_.scale)));
    const int height = std::max(1, static_cast<int>(std::lround(decoder.height() * options_.scale)));
    window_ = SDL_CreateWindow(options_.title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, width,
        height, SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
    if (!window_) {
        error_ = std::string("cannot open a window: ") + SDL_GetError();
        return false;
    }
    renderer_ = SDL_CreateRenderer(window_, -1, options_.rendererFlags);
    if (!renderer_) {
        error_ = std::string("cannot create a renderer: ") + SDL_GetError();
        return false;
    }
    mapper_.setPicture(picture());
    dirty_ = true;
    return true;
}

void Viewer::fitWindow(int pictureWidth, int pictureHeight)
{
    if (!window_ || pictureWidth <= 0 || pictureHeight <= 0) return;
    const int width = std::max(1, static_cast<int>(std::lround(pictureWidth * options_.scale)));
    const int height = std::max(1, static_cast<int>(std::lround(pictureHeight * options_.scale)));
    int shownWidth = 0, shownHeight = 0;
    SDL_GetWindowSize(window_, &shownWidth, &shownHeight);
    if (width != shownWidth || height != shownHeight) SDL_SetWindowSize(window_, width, height);
    mapper_.setPicture(picture());
    dirty_ = true;
}

PictureRect Viewer::picture() const
{
    int width = 0, height = 0;
    if (window_) SDL_GetWindowSize(window_, &width, &height);
    const auto& decoder = client_->decoder();
    return fitPicture(width, height, decoder.width(), decoder.height());
}

void Viewer::lostStream(std::string why)
{
    error_ = std::move(why);
    connected_ = false;
    client_->close();
    touch_.reset();
    // A press held when the stream went is over: the new stream never saw it.
    mapper_.release(0, 0);
    retryWait_ = options_.firstRetry;
    retryAt_ = std::chrono::steady_clock::now() + retryWait_;
}

void Viewer::tryReconnect()
{
    if (std::chrono::steady_clock::now() < retryAt_) return;
    // Short waits: the window stays responsive while the host is away.
    if (connectStream(std::chrono::milliseconds(1000))) {
        ++reconnects_;
        fitWindow(client_->decoder().width(), client_->decoder().height());
        return;
    }
    if (!client_->violation().empty()) return; // step() ends on it
    retryWait_ = std::min(retryWait_ * 2, options_.longestRetry);
    retryAt_ = std::chrono::steady_clock::now() + retryWait_;
}

bool Viewer::step(std::chrono::milliseconds wait)
{
    if (quit_) return false;
    if (connected_) {
        // Everything already here, then whatever arrives within `wait`; a
        // bounded number per turn keeps the window responsive.
        for (int i = 0; i < 256; ++i) {
            const auto message = client_->readMessage(i == 0 ? wait : std::chrono::milliseconds(0));
            if (!message) break;
            if (const auto* frame = std::get_if<FrameMessage>(&*message)) {
                client_->sendAck(frame->sequenceNumber);
                if (client_->decoder().hasPicture()) dirty_ = true;
            } else if (const auto& command = std::get<CommandMessage>(*message);
                       command.code == CommandCode::resolution) {
                fitWindow(command.width, command.height);
            }
        }
    } else {
        SDL_Delay(static_cast<Uint32>(std::clamp<long long>(wait.count(), 0, 100)));
        tryReconnect();
    }
    if (!client_->violation().empty()) {
        error_ = "protocol violation: " + client_->violation();
        return false;
    }
    SDL_Event event;
    while (SDL_PollEvent(&event)) handleEvent(event);
    if (dirty_) draw();
    if (connected_ && client_->closed()) lostStream("the host closed the connection");
    return !quit_;
}

void Viewer::handleEvent(const SDL_Event& event)
{
    switch (event.type) {
    case SDL_QUIT: quit_ = true; break;
    case SDL_WINDOWEVENT:
        if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED || event.window.event == SDL_WINDOWEVENT_EXPOSED) {
            mapper_.setPicture(picture());
            dirty_ = true;
        }
        break;
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_LEFT) sendTouch(mapper_.press(event.button.x, event.button.y));
        break;
    case SDL_MOUSEMOTION:
        if (event.motion.state & SDL_BUTTON_LMASK) sendTouch(mapper_.motion(event.motion.x, event.motion.y));
        break;
    case SDL_MOUSEBUTTONUP:
        if (event.button.button == SDL_BUTTON_LEFT) sendTouch(mapper_.release(event.button.x, event.button.y));
        break;
    case SDL_MOUSEWHEEL: {
        const float sign = event.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1.0f : 1.0f;
        sendTouch(mapper_.wheel(sign * event.wheel.preciseX, sign * event.wheel.preciseY));
        break;
    }
    case SDL_KEYDOWN:
        if (event.key.keysym.sym == SDLK_ESCAPE || event.key.keysym.sym == SDLK_q) quit_ = true;
        break;
    default: break;
    }
}

void Viewer::sendTouch(const std::optional<TouchMapper::Message>& message)
{
    if (!message || !touch_) return;
    if (touch_->send(*message)) {
        ++touchesSent_;
    } else {
        touch_.reset(); // the input connection is gone; frames still flow
    }
}

std::vector<std::uint8_t> Viewer::pictureRGB() const
{
    const auto& decoder = client_->decoder();
    if (!decoder.hasPicture()) return {};
    const auto& frame = decoder.frame();
    if (decoder.pixelFormat() == companion::FramePixelFormat::rgb) return frame;
    std::vector<std::uint8_t> rgb(frame.size() * 3);
    for (std::size_t i = 0; i < frame.size(); ++i) rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] = frame[i];
    return rgb;
}

bool Viewer::uploadPicture()
{
    const auto& decoder = client_->decoder();
    if (!decoder.hasPicture()) return false;
    const int width = decoder.width();
    const int height = decoder.height();
    if (!texture_ || textureWidth_ != width || textureHeight_ != height) {
        if (texture_) SDL_DestroyTexture(texture_);
        texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STREAMING, width, height);
        if (!texture_) return false;
        textureWidth_ = width;
        textureHeight_ = height;
    }
    if (decoder.pixelFormat() == companion::FramePixelFormat::rgb) {
        return SDL_UpdateTexture(texture_, nullptr, decoder.frame().data(), width * 3) == 0;
    }
    const auto rgb = pictureRGB();
    return SDL_UpdateTexture(texture_, nullptr, rgb.data(), width * 3) == 0;
}

void Viewer::draw()
{
    dirty_ = false;
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    if (uploadPicture()) {
        int outputWidth = 0, outputHeight = 0;
        SDL_GetRendererOutputSize(renderer_, &outputWidth, &outputHeight);
        const auto rect = fitPicture(outputWidth, outputHeight, textureWidth_, textureHeight_);
        const SDL_Rect target{rect.x, rect.y, rect.width, rect.height};
        SDL_RenderCopy(renderer_, texture_, nullptr, &target);
        ++framesShown_;
    }
    SDL_RenderPresent(renderer_);
}

std::vector<std::uint8_t> Viewer::readWindowRGB(int& width, int& height)
{
    width = height = 0;
    if (!renderer_) return {};
    // What draw() put on screen, drawn again: reading back after a present
    // is undefined for some renderers.
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    int outputWidth = 0, outputHeight = 0;
    SDL_GetRendererOutputSize(renderer_, &outputWidth, &outputHeight);
    if (texture_) {
        const auto rect = fitPicture(outputWidth, outputHeight, textureWidth_, textureHeight_);
        const SDL_Rect target{rect.x, rect.y, rect.width, rect.height};
        SDL_RenderCopy(renderer_, texture_, nullptr, &target);
    }
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(outputWidth) * outputHeight * 3);
    if (SDL_RenderReadPixels(renderer_, nullptr, SDL_PIXELFORMAT_RGB24, pixels.data(), outputWidth * 3) != 0) {
        return {};
    }
    width = outputWidth;
    height = outputHeight;
    return pixels;
}

} // namespace qb::viewer
