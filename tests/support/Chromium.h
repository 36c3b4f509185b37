// Headless Chromium spoken to over its DevTools protocol, for the tests and
// benchmarks that use a browser as the tablet: started with a private
// profile, killed (its whole process group) with the object or with the
// thread that launched it. Not thread-safe: one thread speaks to it.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "runtime/Process.h"
#include "support/TestSupport.h"

namespace qb::test {

// `extraArguments` go on Chromium's command line after the defaults.
class Browser {
    using json = nlohmann::json;

public:
    explicit Browser(const std::filesystem::path& profile, std::vector<std::string> extraArguments = {})
    {
        const char* found = nullptr;
        for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
            if (std::filesystem::exists(path)) found = path;
        }
        if (!found) return;
        std::filesystem::create_directories(profile);
        ProcessOptions options;
        options.executable = found;
        options.arguments = {"--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--user-data-dir=" + profile.string(), "--remote-debugging-port=0"};
        for (auto& argument : extraArguments) options.arguments.push_back(std::move(argument));
        options.arguments.push_back("about:blank");
        options.killedWithLaunchingThread = true;
        process_ = Process::launch(options);
        std::string path;
        std::uint16_t port = 0;
        eventually(
            [&] {
                std::ifstream in(profile / "DevToolsActivePort");
                return in >> port >> path && port != 0;
            },
            std::chrono::seconds(30), std::chrono::milliseconds(20));
        if (port == 0) return;
        socket_.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), port});
        socket_.read_message_max(64u << 20);
        socket_.handshake("127.0.0.1:" + std::to_string(port), path);
        const json targets = call("Target.getTargets", {});
        for (const auto& target : targets["targetInfos"]) {
            if (target["type"] == "page") {
                session_ = call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}})
                               ["sessionId"];
                break;
            }
        }
    }
    ~Browser()
    {
        if (process_ && process_->isRunning()) {
            ::kill(-process_->pid(), SIGKILL);
            process_->waitUntilExit();
        }
    }
    bool ready() const { return !session_.empty(); }
    // Opens `url` in a window of its own and speaks to it from now on; the
    // page spoken to before keeps running. Returns that page's session.
    std::string openWindow(const std::string& url)
    {
        std::string previous = std::exchange(session_, {});
        const json target = call("Target.createTarget", {{"url", url}, {"newWindow", true}});
        session_ = call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}})["sessionId"];
        return previous;
    }
    void speakTo(std::string session) { session_ = std::move(session); }

    // A command to the page; its result.
    json call(const std::string& method, json params)
    {
        const int id = ++nextId_;
        json message = {{"id", id}, {"method", method}, {"params", std::move(params)}};
        if (!session_.empty()) message["sessionId"] = session_;
        socket_.write(boost::asio::buffer(message.dump()));
        for (;;) {
            const json reply = nextMessage();
            if (reply.value("id", 0) != id) continue;
            if (reply.contains("error")) throw std::runtime_error(method + ": " + reply["error"].dump());
            return reply["result"];
        }
    }
    // The parameters of the next event `method` (other messages before it are dropped).
    json awaitEvent(const std::string& method)
    {
        for (;;) {
            const json message = nextMessage();
            if (message.value("method", "") == method) return message.value("params", json::object());
        }
    }
    json evaluate(const std::string& expression)
    {
        const json result = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
        return result["result"].value("value", json());
    }
    void touch(const std::string& type, const std::vector<std::pair<double, double>>& points)
    {
        json list = json::array();
        for (std::size_t i = 0; i < points.size(); ++i) {
            list.push_back({{"x", points[i].first}, {"y", points[i].second}, {"id", i}});
        }
        call("Input.dispatchTouchEvent", {{"type", type}, {"touchPoints", list}});
    }
    // A pen: "mouseMoved" hovers (or drags while pressed), "mousePressed" /
    // "mouseReleased" with the tip ("left") or the barrel button ("right").
    void pen(const std::string& type, std::pair<double, double> at, const std::string& button = "none",
        double force = 0, int tiltX = 0, int tiltY = 0)
    {
        call("Input.dispatchMouseEvent", {{"type", type}, {"x", at.first}, {"y", at.second}, {"button", button},
            {"buttons", type == "mouseReleased" || button == "none" ? 0 : (button == "left" ? 1 : 2)},
            {"clickCount", type == "mouseMoved" ? 0 : 1}, {"pointerType", "pen"}, {"force", force},
            {"tiltX", tiltX}, {"tiltY", tiltY}});
    }
    // Touch pointers the emulated screen cannot make (it delivers no
    // two-finger moves) as page events: each step gives every finger's place.
    void fingers(const std::vector<std::vector<std::pair<double, double>>>& steps)
    {
        evaluate("(" + std::string(FINGERS) + ")(" + json(steps).dump() + ")");
    }
    static constexpr const char* FINGERS = R"((steps) => {
      const c = document.getElementById('c');
      const send = (type, id, [x, y]) => c.dispatchEvent(new PointerEvent(type, {pointerId: 100 + id,
          pointerType: 'touch', clientX: x, clientY: y, buttons: type === 'pointerup' ? 0 : 1, pressure: 0.5,
          isPrimary: id === 0, bubbles: true, cancelable: true}));
      steps[0].forEach((p, id) => send('pointerdown', id, p));
      for (const step of steps.slice(1)) step.forEach((p, id) => send('pointermove', id, p));
      steps[steps.length - 1].forEach((p, id) => send('pointerup', id, p));
    })";

private:
    json nextMessage()
    {
        boost::beast::flat_buffer buffer;
        socket_.read(buffer);
        return json::parse(boost::beast::buffers_to_string(buffer.data()));
    }
    std::shared_ptr<Process> process_;
    boost::asio::io_context io_;
    boost::beast::websocket::stream<boost::beast::tcp_stream> socket_{io_};
    std::string session_;
    int nextId_ = 0;
};

} // namespace qb::test
