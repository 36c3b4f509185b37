// Our PipeWire consumer of a compositor's screen-cast node, shared by the
// desktops that hand their pictures out that way (Mutter's screen casts,
// KWin's zkde_screencast streams): one connection to the PipeWire daemon with
// the thread its streams run on, and one stream per node that negotiates
// BGRx/BGRA in shared memory (DMA-BUF where mappable) and pushes each picture
// with its damage regions.
//
// Threads: a stream's members from any one thread at a time. `onFrame` runs
// on PipeWire's data thread, never after stop() returned; `onClosed` on
// PipeWire's thread, or on whichever thread calls reportClosed(), at most
// once, and never after stop() returned.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/PushedCapture.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;

namespace qb {

// A PipeWire connection and the thread its streams run on.
class PipeWire {
public:
    // nullptr when the PipeWire daemon cannot be reached; `error` says why.
    static std::shared_ptr<PipeWire> connect(std::string* error);
    ~PipeWire();
    PipeWire(const PipeWire&) = delete;
    PipeWire& operator=(const PipeWire&) = delete;

    pw_thread_loop* loop() const { return loop_; }
    pw_core* core() const { return core_; }

    // Holds PipeWire's thread out of every stream callback. Recursive.
    class Lock {
    public:
        explicit Lock(const PipeWire& owner);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        const PipeWire& owner_;
    };

private:
    PipeWire() = default;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
};

class PipeWireStream {
public:
    struct Options {
        // A virtual monitor is as large as the format we ask for
        // (`width`×`height`); a monitor keeps its own size.
        bool fixedSize = false;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::function<void(const PushedFrame&)> onFrame;
        // The producer ended the stream or it failed.
        std::function<void()> onClosed;
    };

    PipeWireStream(std::shared_ptr<PipeWire> pipewire, Options options);
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Connects to the producer's node and waits (a few seconds at most) until
    // the format is agreed; false with `error` saying why.
    bool connect(std::uint32_t node, std::string* error);

    // The agreed picture size.
    std::uint32_t width() const;
    std::uint32_t height() const;

    // Asks for another size of a virtual monitor (the format is
    // renegotiated); false when the stream would not take it in time.
    bool resize(std::uint32_t width, std::uint32_t height);

    // The producer's side ended by other means (the compositor closed the
    // session): onClosed, once, unless stopped.
    void reportClosed();

    // Disconnects; onClosed does not run once it returns. Idempotent.
    void stop();

    struct State;

private:
    std::shared_ptr<PipeWire> pipewire_;
    std::shared_ptr<State> state_;
    bool stopped_ = false;
};

} // namespace qb
