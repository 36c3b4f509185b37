#include "platform/gnome/MutterBus.h"

#include <condition_variable>
#include <mutex>

namespace qb::gnome {

namespace {

std::string describe(GError* error)
{
    if (!error) return "unknown error";
    gchar* remote = g_dbus_error_get_remote_error(error);
    if (remote) g_dbus_error_strip_remote_error(error);
    std::string text = remote ? std::string(remote) + ": " + error->message : std::string(error->message);
    g_free(remote);
    return text;
}

void signalArrived(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
    gpointer data)
{
    (*static_cast<MutterBus::SignalHandler*>(data))(parameters);
}

void freeHandler(gpointer data) { delete static_cast<MutterBus::SignalHandler*>(data); }

} // namespace

std::shared_ptr<MutterBus> MutterBus::connect(std::string* error)
{
    auto fail = [&](const std::string& why) -> std::shared_ptr<MutterBus> {
        if (error) *error = std::string(SERVICE_UNAVAILABLE_PREFIX) + why;
        return nullptr;
    };
    GError* failure = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &failure);
    if (!address) {
        const std::string why = "no session bus (" + describe(failure) + ")";
        g_clear_error(&failure);
        return fail(why);
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
            | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &failure);
    g_free(address);
    if (!connection) {
        const std::string why = "cannot connect to the session bus (" + describe(failure) + ")";
        g_clear_error(&failure);
        return fail(why);
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);

    std::shared_ptr<MutterBus> bus(new MutterBus);
    bus->connection_ = connection;
    bus->context_ = g_main_context_new();
    bus->loop_ = g_main_loop_new(bus->context_, FALSE);
    GMainContext* context = bus->context_;
    GMainLoop* loop = bus->loop_;
    bus->thread_ = std::thread([context, loop] {
        g_main_context_push_thread_default(context);
        g_main_loop_run(loop);
        g_main_context_pop_thread_default(context);
    });

    for (const char* service : {REMOTE_DESKTOP_SERVICE, SCREEN_CAST_SERVICE, DISPLAY_CONFIG_SERVICE}) {
        std::string why;
        Variant owned = bus->call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", service), "(b)", &why);
        if (!owned) return fail(why);
        gboolean has = FALSE;
        g_variant_get(owned.get(), "(b)", &has);
        if (!has) return fail(std::string(service) + " is not on the session bus (is this a GNOME session?)");
    }
    return bus;
}

MutterBus::~MutterBus()
{
    // Closing the connection ends every session Mutter still keeps for us.
    if (connection_) {
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
    }
    if (loop_) {
        // Quit from inside the loop: a loop not running yet would miss a quit from here.
        g_main_context_invoke(
            context_,
            [](gpointer loop) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_);
        if (thread_.joinable()) thread_.join();
        // Handlers released by the closed connection are freed on this context.
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_loop_unref(loop_);
    }
    if (context_) g_main_context_unref(context_);
}

Variant MutterBus::call(const char* service, const char* path, const char* interface, const char* method,
    GVariant* parameters, const char* replyType, std::string* error, int timeoutMs)
{
    GError* failure = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(connection_, service, path, interface, method, parameters,
        replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr,
        &failure);
    if (!reply) {
        if (error) *error = describe(failure);
        g_clear_error(&failure);
    }
    return Variant(reply);
}

void MutterBus::send(const char* service, const char* path, const char* interface, const char* method,
    GVariant* parameters)
{
    g_dbus_connection_call(connection_, service, path, interface, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

Variant MutterBus::property(const char* service, const char* path, const char* interface, const char* name,
    std::string* error)
{
    Variant reply = call(service, path, "org.freedesktop.DBus.Properties", "Get", g_variant_new("(ss)", interface, name),
        "(v)", error);
    if (!reply) return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply.get(), "(v)", &value);
    return Variant(value);
}

unsigned MutterBus::subscribe(const char* service, const char* path, const char* interface, const char* member,
    SignalHandler handler)
{
    // Subscribed on the bus thread, the handler runs there: the context a
    // subscription delivers to is the subscribing thread's default one.
    struct Job {
        MutterBus* bus = nullptr;
        const char* path = nullptr;
        const char* interface = nullptr;
        const char* member = nullptr;
        SignalHandler handler;
        unsigned id = 0;
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
    } job;
    job.bus = this;
    job.path = path;
    job.interface = interface;
    job.member = member;
    job.handler = std::move(handler);
    (void)service; // matched by path: the sender is whichever unique name owns the service
    g_main_context_invoke(
        context_,
        [](gpointer data) -> gboolean {
            auto* j = static_cast<Job*>(data);
            const unsigned id = g_dbus_connection_signal_subscribe(j->bus->connection_, nullptr, j->interface,
                j->member, j->path, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, signalArrived,
                new SignalHandler(std::move(j->handler)), freeHandler);
            std::lock_guard guard(j->lock);
            j->id = id;
            j->finished = true;
            j->done.notify_all();
            return G_SOURCE_REMOVE;
        },
        &job);
    std::unique_lock guard(job.lock);
    job.done.wait(guard, [&] { return job.finished; });
    return job.id;
}

void MutterBus::unsubscribe(unsigned id)
{
    if (id) g_dbus_connection_signal_unsubscribe(connection_, id);
}

} // namespace qb::gnome
