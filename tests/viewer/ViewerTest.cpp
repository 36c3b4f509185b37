// quillbright-viewer's window and mouse, headless (SDL's dummy video
// driver): the letterbox and mouse-to-touch arithmetic, then the whole
// viewer against a real daemon on the simulated desktop, with the test
// playing the input server, across restarts of the stream.

#include <gtest/gtest.h>

#include "e2e/DaemonHarness.h"
#include "runtime/Asio.h"
#include "runtime/Process.h"
#include "support/SocketSupport.h"
#include "transport/InputProtocol.h"
#include "viewer/Viewer.h"

namespace qb::viewer {
namespace {

using namespace std::chrono_literals;

std::vector<TouchMessage> decode(std::span<const std::uint8_t> bytes)
{
    TouchStreamState state;
    auto messages = walkTouchMessages(state, bytes);
    EXPECT_TRUE(state.pending.empty());
    EXPECT_EQ(state.skippedBytes, 0u);
    return messages;
}

TEST(ViewerTouch, MouseBecomesTouchesOnTheLetterboxedPicture)
{
    // A 4:3 picture in a square window is centred with bars above and below;
    // in a wide window, with bars left and right.
    const auto tall = fitPicture(800, 800, 1600, 1200);
    EXPECT_EQ((std::array{tall.x, tall.y, tall.width, tall.height}), (std::array{0, 100, 800, 600}));
    const auto wide = fitPicture(1000, 300, 1600, 1200);
    EXPECT_EQ((std::array{wide.x, wide.y, wide.width, wide.height}), (std::array{300, 0, 400, 300}));
    EXPECT_EQ(fitPicture(800, 600, 0, 0).width, 0); // no picture yet

    TouchMapper mapper;
    mapper.setPicture(tall);
    EXPECT_FALSE(mapper.press(400, 50)); // on the bar: not the screen
    EXPECT_FALSE(mapper.motion(400, 300)); // moving without a press touches nothing
    EXPECT_FALSE(mapper.release(400, 300));

    std::vector<std::uint8_t> bytes;
    auto add = [&](const std::optional<TouchMapper::Message>& m) {
        ASSERT_TRUE(m);
        bytes.insert(bytes.end(), m->begin(), m->end());
    };
    add(mapper.press(0, 100));      // the picture's first pixel
    EXPECT_FALSE(mapper.press(10, 110)); // a second press while down
    add(mapper.motion(799, 699));   // its last pixel
    EXPECT_FALSE(mapper.motion(799, 699)); // no move, no message
    add(mapper.motion(2000, -50));  // dragged off the picture: clamped to its edge
    add(mapper.release(2000, -50));
    add(mapper.wheel(0, 2));        // two steps away from the user
    add(mapper.wheel(1, 0));
    EXPECT_FALSE(mapper.wheel(0, 0));
    EXPECT_FALSE(mapper.wheel(std::nanf(""), 1));

    const float first = 0.5f / 800, lastX = 799.5f / 800, lastY = 599.5f / 600, top = 0.5f / 600;
    const std::vector<TouchMessage> expected{
        {1, first, 0.5f / 600, 0, 0},
        {2, lastX, lastY, 0, 0},
        {2, lastX, top, 0, 0},
        {3, lastX, top, 0, 0},
        {4, lastX, top, 0, 2 * TouchMapper::WHEEL_STEP},
        {4, lastX, top, -TouchMapper::WHEEL_STEP, 0},
    };
    EXPECT_EQ(decode(bytes), expected);
}

// A daemon on the simulated desktop with one DC-1 on the fake adb, showing
// a still test pattern, and an input port the test listens on.
class ViewerAgainstDaemon : public test::DaemonHarness {
protected:
    ViewerAgainstDaemon() : DaemonHarness("sim", "0.05"), acceptor(io, {asio::ip::make_address("127.0.0.1"), 0})
    {
        adb.setDevices({test::device("DC1-0001", "DC_1", "1200x1600")});
        launch();
        EXPECT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    }
    ~ViewerAgainstDaemon() override { SDL_Quit(); }

    // Opens the viewer once the daemon serves its frame port.
    bool openWhenServing(Viewer& viewer)
    {
        const auto serving = [&] {
            asio::ip::tcp::socket probe(io);
            boost::system::error_code error;
            probe.connect({asio::ip::make_address("127.0.0.1"), 8888}, error);
            return !error;
        };
        return test::eventually(serving, 20s, 50ms) && viewer.open(5000ms);
    }

    // Set before the daemon starts: the pattern's first picture for the whole test.
    const test::ScopedEnv env[2]{{"QUILLBRIGHT_SIM_FPS", "0.001"}, {"SDL_VIDEODRIVER", "dummy"}};
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor;
};

TEST_F(ViewerAgainstDaemon, ShowsTheDecodedFrameAndSendsClicksAsTouches)
{
    ASSERT_TRUE(daemon_);
    ViewerOptions options;
    options.touchPort = acceptor.local_endpoint().port();
    options.scale = 1; // one window pixel per picture pixel, so the read-back is exact
    Viewer viewer(options);
    ASSERT_TRUE(openWhenServing(viewer)) << viewer.error();
    asio::ip::tcp::socket input(io);
    acceptor.accept(input);

    ASSERT_TRUE(test::eventually([&] { return !viewer.step(50ms) || viewer.framesShown() >= 3; }, 20s));
    ASSERT_GE(viewer.framesShown(), 3u) << viewer.error();
    // Every frame was acknowledged: the daemon's pacer sees a live client.
    EXPECT_TRUE(viewer.client().violation().empty());

    // What the window shows is the decoded picture, pixel for pixel.
    int width = 0, height = 0;
    const auto shown = viewer.readWindowRGB(width, height);
    ASSERT_EQ(std::pair(width, height), std::pair(1600, 1200));
    const auto picture = viewer.pictureRGB();
    EXPECT_TRUE(shown == picture);
    // Not a blank screen: the pattern has light and dark.
    const auto [dark, light] = std::minmax_element(picture.begin(), picture.end());
    EXPECT_LT(*dark, 64);
    EXPECT_GT(*light, 192);

    // A click at window pixel (400, 300) and a wheel step.
    for (const Uint32 type : {SDL_MOUSEBUTTONDOWN, SDL_MOUSEBUTTONUP}) {
        SDL_Event event{};
        event.type = type;
        event.button.button = SDL_BUTTON_LEFT;
        event.button.state = type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
        event.button.x = 400;
        event.button.y = 300;
        event.button.windowID = SDL_GetWindowID(viewer.window());
        ASSERT_EQ(SDL_PushEvent(&event), 1) << SDL_GetError();
    }
    SDL_Event wheel{};
    wheel.type = SDL_MOUSEWHEEL;
    wheel.wheel.y = -1;
    wheel.wheel.preciseY = -1;
    ASSERT_EQ(SDL_PushEvent(&wheel), 1);
    ASSERT_TRUE(viewer.step(10ms)) << viewer.error();
    EXPECT_EQ(viewer.touchesSent(), 3u);

    const auto bytes = test::readWithin(input, 3 * TOUCH_MESSAGE_SIZE);
    const float x = 400.5f / 1600, y = 300.5f / 1200;
    EXPECT_EQ(decode(bytes), (std::vector<TouchMessage>{
                                 {1, x, y, 0, 0}, {3, x, y, 0, 0}, {4, x, y, 0, -TouchMapper::WHEEL_STEP}}));

    // A new resolution restarts the stream: the viewer stays open, connects
    // again, and its window shows the new stream's picture at the new size.
    // The reference client, started on the first stream, follows the restarts too.
    const auto has = [](const std::shared_ptr<Process>& p, const char* text) {
        return test::waitFor([&] { return p->standardOutput().find(text) != std::string::npos; }, 20s);
    };
    ProcessOptions companionRun;
    companionRun.executable = QB_COMPANION;
    companionRun.arguments = {"--stats-every", "0"};
    companionRun.killedWithLaunchingThread = true;
    const auto companion = Process::launch(companionRun);
    ASSERT_TRUE(companion && has(companion, "greeting: 1600x1200"));
    ASSERT_TRUE(statusRunning(20s));
    EXPECT_EQ(cli({"resolution", "balanced"}).second, "OK balanced (restarting)\n");
    const auto shows = [&](int wantWidth, int wantHeight) {
        return test::eventually([&] {
            int w = 0, h = 0;
            return viewer.step(20ms) && viewer.connected() && viewer.client().decoder().hasPicture()
                && viewer.readWindowRGB(w, h) == viewer.pictureRGB() && std::pair(w, h) == std::pair(wantWidth, wantHeight);
        }, 30s);
    };
    ASSERT_TRUE(shows(1280, 960)) << viewer.error();
    EXPECT_EQ(viewer.reconnects(), 1u);
    EXPECT_TRUE(has(companion, "greeting: 1280x960")) << companion->standardOutput();
    // The input connection came back with it: the wheel reaches the new one.
    asio::ip::tcp::socket input2(io);
    acceptor.accept(input2);
    ASSERT_EQ(SDL_PushEvent(&wheel), 1);
    ASSERT_TRUE(viewer.step(10ms)) << viewer.error();
    EXPECT_EQ(test::readWithin(input2, TOUCH_MESSAGE_SIZE).size(), TOUCH_MESSAGE_SIZE);

    // A plain restart: taken up again at the same size.
    EXPECT_EQ(cli({"restart"}).first, 0);
    ASSERT_TRUE(test::eventually([&] { return !viewer.step(20ms) || viewer.reconnects() == 2; }, 30s));
    EXPECT_TRUE(shows(1280, 960)) << viewer.error();
    companion->terminate(); // Ctrl+C's way out, after two lost connections
    ASSERT_TRUE(companion->waitUntilExit(5s));
    EXPECT_EQ(companion->exitStatus(), 0) << companion->standardError();
}

} // namespace
} // namespace qb::viewer
