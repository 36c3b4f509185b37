// The D-Bus side of GNOME's backend: one private connection to the
// session bus for the platform's life. Mutter ends a remote-desktop or
// screen-cast session when the connection that created it goes away, so
// nothing outlives the daemon, not even a daemon killed with -9; and no other
// code in the process shares (or closes) this connection.
//
// Method calls may come from any thread (GDBus serialises them on the
// connection). Signal handlers run on the bus's own thread, one at a time,
// and may still run once after unsubscribe() when called from another
// thread: they capture what they touch weakly.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gio/gio.h>

namespace qb::gnome {

inline constexpr const char* REMOTE_DESKTOP_SERVICE = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* SCREEN_CAST_SERVICE = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* DISPLAY_CONFIG_SERVICE = "org.gnome.Mutter.DisplayConfig";

// The message of every failure to reach Mutter's services, followed by why.
inline constexpr std::string_view SERVICE_UNAVAILABLE_PREFIX = "GNOME remote desktop service not available: ";

struct VariantDeleter {
    void operator()(GVariant* value) const
    {
        if (value) g_variant_unref(value);
    }
};
using Variant = std::unique_ptr<GVariant, VariantDeleter>;

class MutterBus {
public:
    // Connects and checks that Mutter's remote-desktop, screen-cast and
    // display-config services are on the bus; nullptr otherwise, `error`
    // then beginning with SERVICE_UNAVAILABLE_PREFIX.
    static std::shared_ptr<MutterBus> connect(std::string* error);
    ~MutterBus();
    MutterBus(const MutterBus&) = delete;
    MutterBus& operator=(const MutterBus&) = delete;

    // Calls `method` and waits for the reply (at most `timeoutMs`).
    // `parameters` may be floating (it is consumed) or nullptr. The reply
    // tuple, or nullptr with `error` set to "<D-Bus error name>: <message>".
    Variant call(const char* service, const char* path, const char* interface, const char* method,
        GVariant* parameters, const char* replyType, std::string* error, int timeoutMs = 15000);
    // Sends a call without waiting for its reply (input events, where order
    // matters and a reply would only slow the touch down).
    void send(const char* service, const char* path, const char* interface, const char* method, GVariant* parameters);
    // One property's value; nullptr on failure.
    Variant property(const char* service, const char* path, const char* interface, const char* name,
        std::string* error);

    using SignalHandler = std::function<void(GVariant* parameters)>;
    // Calls `handler` for each `member` signal `path` emits; returns an id.
    unsigned subscribe(const char* service, const char* path, const char* interface, const char* member,
        SignalHandler handler);
    void unsubscribe(unsigned id);

private:
    MutterBus() = default;

    GDBusConnection* connection_ = nullptr;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;
};

} // namespace qb::gnome
