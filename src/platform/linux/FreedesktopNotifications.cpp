// org.freedesktop.Notifications through GIO. The connection is opened on the
// first message and opened again after a failure, so a notification service
// started after the daemon (or restarted) is found.

#include <gio/gio.h>
#include <unistd.h>

#include <cstdlib>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "platform/DesktopNotifications.h"
#include "runtime/Queues.h"

namespace qb {

namespace {

constexpr const char* APP_NAME = "QuillBright";
constexpr const char* ICON = "video-display";

// Lives on the queue: messages queued before the notifier goes still go out.
class Sender {
public:
    explicit Sender(NotificationOptions options) : options_(std::move(options)) {}
    ~Sender() { close(); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    void send(const std::string& summary, const std::string& body)
    {
        GError* error = nullptr;
        if (!connection_) connection_ = open(&error);
        GVariant* reply = nullptr;
        if (connection_) {
            GVariantBuilder actions;
            g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
            GVariantBuilder hints;
            g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
            reply = g_dbus_connection_call_sync(connection_, "org.freedesktop.Notifications",
                "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "Notify",
                g_variant_new("(susssasa{sv}i)", APP_NAME, 0U, ICON, summary.c_str(), body.c_str(), &actions, &hints,
                    -1),
                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, int(options_.callTimeout.count()), nullptr, &error);
        }
        if (reply) {
            g_variant_unref(reply);
            if (failing_) platformLog(LogLevel::info, "Notify", "[Notify] Notification service available again");
            failing_ = false;
            return;
        }
        const std::string why = error ? error->message : "no session bus";
        if (error) g_error_free(error);
        platformLog(failing_ ? LogLevel::debug : LogLevel::warn, "Notify",
            fmt::format("[Notify] No desktop notification ({}) — events are in the log only", why));
        failing_ = true;
        close();
    }

private:
    GDBusConnection* open(GError** error) const
    {
        // The session's bus only: never one started for us (dbus-launch),
        // which would outlive the daemon.
        std::string address = options_.busAddress.value_or("");
        if (address.empty()) {
            if (const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS"); session && *session) address = session;
        }
        if (address.empty()) {
            const char* runtime = std::getenv("XDG_RUNTIME_DIR");
            const std::string socket = std::string(runtime ? runtime : "") + "/bus";
            if (runtime && *runtime == '/' && ::access(socket.c_str(), F_OK) == 0) address = "unix:path=" + socket;
        }
        if (address.empty()) {
            g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no session bus");
            return nullptr;
        }
        return g_dbus_connection_new_for_address_sync(address.c_str(),
            GDBusConnectionFlags(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, error);
    }

    void close()
    {
        if (connection_) g_object_unref(connection_);
        connection_ = nullptr;
    }

    const NotificationOptions options_;
    GDBusConnection* connection_ = nullptr;
    bool failing_ = false;
};

class FreedesktopNotifications final : public DesktopNotifications {
public:
    explicit FreedesktopNotifications(NotificationOptions options)
        : sender_(std::make_shared<Sender>(std::move(options))), queue_(SerialQueue::make("notifications", QoS::utility))
    {
    }

    void notify(std::string summary, std::string body) override
    {
        platformLog(LogLevel::info, "Notify", fmt::format("[Notify] {} — {}", summary, body));
        queue_->async([sender = sender_, summary = std::move(summary), body = std::move(body)] {
            sender->send(summary, body);
        });
    }

private:
    std::shared_ptr<Sender> sender_; // the queue's own
    std::shared_ptr<SerialQueue> queue_;
};

} // namespace

std::shared_ptr<DesktopNotifications> makeFreedesktopNotifications(NotificationOptions options)
{
    return std::make_shared<FreedesktopNotifications>(std::move(options));
}

} // namespace qb
