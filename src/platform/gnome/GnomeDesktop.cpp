#include "platform/gnome/GnomeDesktop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <vector>
#include <thread>
#include <tuple>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "platform/VirtualDisplays.h"

namespace qb::gnome {

namespace {

using namespace std::chrono_literals;

constexpr double PLANE_SPACING = 65536;
// How long a new virtual monitor gets to show up in the display configuration.
constexpr auto MONITOR_LIMIT = 3s;
// How long a new recording of a monitor gets to send its first picture.
constexpr auto FIRST_PICTURE_LIMIT = 1s;

void log(LogLevel level, const std::string& line) { platformLog(level, "VirtualDisplay", line); }

constexpr const char* DISPLAY_CONFIG_PATH = "/org/gnome/Mutter/DisplayConfig";
constexpr const char* CURRENT_STATE_TYPE = "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})";

// What GetCurrentState tells of the desktop's monitors and their layout.
struct DisplayState {
    std::uint32_t serial = 0;
    struct Current {
        std::string mode; // the current mode's id ("" when off)
        std::int32_t width = 0;
        std::int32_t height = 0;
        std::optional<bool> underscanning;
        std::vector<double> scales; // the scales Mutter offers for that mode
    };
    std::map<std::string, Current> monitors; // by connector
    MonitorLayout layout;
    bool logicalPixels = false; // layout-mode 1: a monitor takes its mode divided by its scale

    // The room `monitor` takes in the layout at its scale and turn.
    std::pair<std::int32_t, std::int32_t> extent(const LogicalMonitor& monitor) const
    {
        if (monitor.connectors.empty()) return {0, 0};
        const auto found = monitors.find(monitor.connectors.front());
        if (found == monitors.end()) return {0, 0};
        const bool sideways = monitor.transform % 2 == 1;
        double width = sideways ? found->second.height : found->second.width;
        double height = sideways ? found->second.width : found->second.height;
        if (logicalPixels && monitor.scale > 0) {
            width /= monitor.scale;
            height /= monitor.scale;
        }
        return {std::int32_t(std::lround(width)), std::int32_t(std::lround(height))};
    }
};

std::optional<DisplayState> readDisplayState(MutterBus& bus, std::string* error)
{
    Variant reply = bus.call(DISPLAY_CONFIG_SERVICE, DISPLAY_CONFIG_PATH, DISPLAY_CONFIG_SERVICE, "GetCurrentState",
        nullptr, CURRENT_STATE_TYPE, error);
    if (!reply) return std::nullopt;
    DisplayState state;
    GVariant* monitors = nullptr;
    GVariant* logical = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(reply.get(), "(u@a((ssss)a(siiddada{sv})a{sv})@a(iiduba(ssss)a{sv})@a{sv})", &state.serial,
        &monitors, &logical, &properties);
    const Variant monitorsHeld(monitors), logicalHeld(logical), propertiesHeld(properties);

    for (std::size_t i = 0; i < g_variant_n_children(monitors); ++i) {
        const Variant monitor(g_variant_get_child_value(monitors, i));
        const gchar* name = nullptr;
        GVariant* modes = nullptr;
        GVariant* monitorProperties = nullptr;
        g_variant_get(monitor.get(), "((&ssss)@a(siiddada{sv})@a{sv})", &name, nullptr, nullptr, nullptr, &modes,
            &monitorProperties);
        const Variant modesHeld(modes), monitorPropertiesHeld(monitorProperties);
        DisplayState::Current found;
        gboolean underscanning = FALSE;
        if (g_variant_lookup(monitorProperties, "is-underscanning", "b", &underscanning)) {
            found.underscanning = underscanning;
        }
        for (std::size_t m = 0; m < g_variant_n_children(modes); ++m) {
            const Variant mode(g_variant_get_child_value(modes, m));
            const gchar* modeId = nullptr;
            gint32 width = 0;
            gint32 height = 0;
            GVariant* scales = nullptr;
            GVariant* modeProperties = nullptr;
            g_variant_get(mode.get(), "(&siidd@ad@a{sv})", &modeId, &width, &height, nullptr, nullptr, &scales,
                &modeProperties);
            const Variant scalesHeld(scales), modePropertiesHeld(modeProperties);
            gboolean isCurrent = FALSE;
            g_variant_lookup(modeProperties, "is-current", "b", &isCurrent);
            if (!isCurrent) continue;
            found.mode = modeId;
            found.width = width;
            found.height = height;
            gsize count = 0;
            const auto* offered = static_cast<const double*>(g_variant_get_fixed_array(scales, &count, sizeof(double)));
            found.scales.assign(offered, offered + count);
        }
        state.monitors[name] = std::move(found);
    }

    std::uint32_t layoutMode = 2; // physical
    g_variant_lookup(properties, "layout-mode", "u", &layoutMode);
    state.logicalPixels = layoutMode == 1;

    for (std::size_t i = 0; i < g_variant_n_children(logical); ++i) {
        const Variant group(g_variant_get_child_value(logical, i));
        LogicalMonitor item;
        gboolean primary = FALSE;
        GVariant* members = nullptr;
        g_variant_get(group.get(), "(iidub@a(ssss)@a{sv})", &item.x, &item.y, &item.scale, &item.transform, &primary,
            &members, nullptr);
        const Variant membersHeld(members);
        item.primary = primary;
        for (std::size_t m = 0; m < g_variant_n_children(members); ++m) {
            const gchar* name = nullptr;
            g_variant_get_child(members, m, "(&ssss)", &name, nullptr, nullptr, nullptr);
            item.connectors.emplace_back(name);
        }
        if (item.connectors.empty()) continue;
        std::tie(item.width, item.height) = state.extent(item);
        state.layout.push_back(std::move(item));
    }
    return state;
}

// Applies `layout` temporarily (never stored, no confirmation asked), each
// monitor at its current mode; the monitors it leaves out are turned off.
bool applyLayout(MutterBus& bus, const DisplayState& state, const MonitorLayout& layout, std::string* error)
{
    GVariantBuilder logicalMonitors;
    g_variant_builder_init(&logicalMonitors, G_VARIANT_TYPE("a(iiduba(ssa{sv}))"));
    for (const auto& item : layout) {
        GVariantBuilder members;
        g_variant_builder_init(&members, G_VARIANT_TYPE("a(ssa{sv})"));
        for (const auto& name : item.connectors) {
            GVariantBuilder monitorProperties;
            g_variant_builder_init(&monitorProperties, G_VARIANT_TYPE("a{sv}"));
            const auto now = state.monitors.find(name);
            const std::string mode = now == state.monitors.end() ? "" : now->second.mode;
            if (now != state.monitors.end() && now->second.underscanning) {
                g_variant_builder_add(&monitorProperties, "{sv}", "enable_underscanning",
                    g_variant_new_boolean(*now->second.underscanning));
            }
            g_variant_builder_add(&members, "(ssa{sv})", name.c_str(), mode.c_str(), &monitorProperties);
        }
        g_variant_builder_add(&logicalMonitors, "(iiduba(ssa{sv}))", item.x, item.y, item.scale, item.transform,
            gboolean(item.primary), &members);
    }
    constexpr std::uint32_t TEMPORARY = 1;
    const Variant applied = bus.call(DISPLAY_CONFIG_SERVICE, DISPLAY_CONFIG_PATH, DISPLAY_CONFIG_SERVICE,
        "ApplyMonitorsConfig",
        g_variant_new("(uua(iiduba(ssa{sv}))@a{sv})", state.serial, TEMPORARY, &logicalMonitors,
            g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
        nullptr, error);
    return bool(applied);
}

} // namespace

struct GnomeDesktop::Entry {
    std::uint32_t width = 0; // the virtual monitor's size
    std::uint32_t height = 0;
    bool mirroring = false;
    bool closed = false;     // Mutter ended the session
    std::string connector;   // the virtual monitor's, while it exists
    double scale = 1;        // its logical monitor's, given again to each new virtual monitor
    std::optional<MonitorLayout> before; // the layout before the virtual monitor came, for its first scale
    bool configured = false; // we applied a layout with the virtual monitor in it
    std::string shown;       // the user's monitor recorded while mirroring
    bool settling = false;   // setMirroring() is changing its recording over
    bool endedWhileSettling = false;
    std::unique_ptr<Recording> recording;
};

std::shared_ptr<GnomeDesktop> GnomeDesktop::open(std::string* error)
{
    std::shared_ptr<GnomeDesktop> desktop(new GnomeDesktop);
    desktop->bus_ = MutterBus::connect(error);
    if (!desktop->bus_) return nullptr;
    std::string why;
    desktop->pipewire_ = PipeWire::connect(&why);
    if (!desktop->pipewire_) {
        if (error) *error = std::string(SERVICE_UNAVAILABLE_PREFIX) + why;
        return nullptr;
    }
    std::weak_ptr<GnomeDesktop> weak = desktop;
    desktop->ownerWatch_ = desktop->bus_->subscribe("org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "NameOwnerChanged", [weak](GVariant* parameters) {
            const gchar* name = nullptr;
            const gchar* newOwner = nullptr;
            if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) return;
            g_variant_get(parameters, "(&s&s&s)", &name, nullptr, &newOwner);
            if (std::string_view(name) != REMOTE_DESKTOP_SERVICE) return;
            if (auto self = weak.lock()) self->compositorChanged(*newOwner == '\0');
        });
    desktop->layoutWatch_ = desktop->bus_->subscribe(DISPLAY_CONFIG_SERVICE, "/org/gnome/Mutter/DisplayConfig",
        DISPLAY_CONFIG_SERVICE, "MonitorsChanged", [weak](GVariant*) {
            if (auto self = weak.lock()) self->layoutChanged();
        });
    return desktop;
}

void GnomeDesktop::layoutChanged()
{
    // Only virtual monitors Mutter already listed as ours are judged: one
    // being made or removed has no connector yet (or any more). A mirroring
    // display is judged by the monitor it records.
    std::map<std::uint32_t, std::string> watched;
    std::map<std::uint32_t, std::string> mirrored;
    {
        const auto held = displays_.lock();
        for (const auto& [id, entry] : held.entries()) {
            if (entry->closed) continue;
            if (entry->mirroring && !entry->shown.empty()) mirrored.emplace(id, entry->shown);
            if (!entry->mirroring && !entry->connector.empty()) watched.emplace(id, entry->connector);
        }
    }
    if (watched.empty() && mirrored.empty()) return;
    std::string error;
    const auto all = allMonitors(&error);
    if (!error.empty()) return; // Mutter is going away: compositorChanged() handles that
    std::string primary;
    {
        const auto held = displays_.lock();
        for (const auto& monitor : all) {
            if (!monitor.primary || !monitor.lit || ourConnectors_.contains(monitor.connector)) continue;
            primary = monitor.connector;
        }
    }
    const auto endDisplay = [&](std::uint32_t id, const std::string& connector, bool byShown, const std::string& why) {
        {
            const auto held = displays_.lock();
            const auto* entry = held.find(id);
            if (!entry || (*entry)->closed) return;
            if ((byShown ? (*entry)->shown : (*entry)->connector) != connector) return;
            (*entry)->closed = true;
        }
        ended(id, why);
    };
    for (const auto& [id, connector] : watched) {
        const bool lit = std::any_of(all.begin(), all.end(),
            [&](const Monitor& monitor) { return monitor.connector == connector && monitor.lit; });
        if (lit) continue;
        endDisplay(id, connector, false,
            fmt::format("its monitor {} was turned off in the display settings", connector));
    }
    // Mirroring shows the primary: when the user makes another monitor the
    // primary, the display ends and its session is built again on the new one.
    for (const auto& [id, connector] : mirrored) {
        if (primary.empty() || primary == connector) continue;
        endDisplay(id, connector, true, fmt::format("the primary monitor is now {} (it was {})", primary, connector));
    }
}

void GnomeDesktop::onCompositorAway(std::function<void(bool away)> changed)
{
    std::lock_guard guard(awayLock_);
    onAway_ = std::move(changed);
}

void GnomeDesktop::compositorChanged(bool away)
{
    std::function<void(bool)> changed;
    {
        std::lock_guard guard(awayLock_);
        if (away_ == away) return;
        away_ = away;
        changed = onAway_;
    }
    if (away) {
        // Our sessions, virtual monitors and streams ended with Mutter; the
        // owner removes the displays (which ends our PipeWire streams).
        std::vector<std::uint32_t> ids;
        {
            const auto held = displays_.lock();
            for (auto& [id, entry] : held.entries()) {
                if (!std::exchange(entry->closed, true)) ids.push_back(id);
            }
        }
        platformLog(LogLevel::error, "Platform",
            fmt::format("[Platform] GNOME's compositor (Mutter) left the session bus: mirroring cannot go on "
                        "({} virtual display(s) gone with it)",
                ids.size()));
        for (std::uint32_t id : ids) sinks_.ended(id);
    } else {
        platformLog(LogLevel::info, "Platform", "[Platform] GNOME's compositor (Mutter) is back on the session bus");
    }
    if (changed) changed(away);
}

GnomeDesktop::~GnomeDesktop()
{
    if (ownerWatch_ != 0) bus_->unsubscribe(ownerWatch_);
    if (layoutWatch_ != 0) bus_->unsubscribe(layoutWatch_);
    // Every recording stops before the connections it uses go.
    removeAll();
}

std::unique_ptr<Recording> GnomeDesktop::record(std::uint32_t id, const std::string& connector, std::uint32_t width,
    std::uint32_t height, std::string* error, std::shared_ptr<std::atomic<bool>> pictured)
{
    // The desktop outlives its recordings (the destructor stops them), and a
    // stopped recording calls nothing: `this` is safe in both callbacks.
    Recording::Options options;
    options.connector = connector;
    options.width = width;
    options.height = height;
    options.onFrame = [this, id, pictured](const Frame& frame) {
        if (pictured) pictured->store(true);
        deliver(id, frame);
    };
    options.onClosed = [this, id] { closed(id); };
    return Recording::start(bus_, pipewire_, std::move(options), error);
}

std::string GnomeDesktop::awaitMonitor(const std::set<std::string>& before, std::uint32_t width,
    std::uint32_t height)
{
    // Mutter adds the monitor once the format is agreed; wait until the
    // display configuration lists it, so the desktop is extended on return.
    const auto deadline = std::chrono::steady_clock::now() + MONITOR_LIMIT;
    for (;;) {
        for (const auto& monitor : allMonitors()) {
            if (!before.contains(monitor.connector) && monitor.width == width && monitor.height == height) {
                return monitor.connector;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(20ms);
    }
    log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: Mutter listed no {}x{} monitor for the virtual "
                                    "display in {} s",
                            width, height, MONITOR_LIMIT.count()));
    return "";
}

bool GnomeDesktop::awaitPicture(const std::atomic<bool>& pictured)
{
    const auto deadline = std::chrono::steady_clock::now() + FIRST_PICTURE_LIMIT;
    while (!pictured && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return pictured;
}

void GnomeDesktop::awaitDeparture(const std::string& connector)
{
    const auto deadline = std::chrono::steady_clock::now() + MONITOR_LIMIT;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto all = allMonitors();
        if (std::none_of(all.begin(), all.end(), [&](const Monitor& m) { return m.connector == connector; })) return;
        std::this_thread::sleep_for(20ms);
    }
    log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: Mutter still lists monitor {} after {} s", connector,
                            MONITOR_LIMIT.count()));
}

std::optional<std::uint32_t> GnomeDesktop::createDisplay(std::uint32_t width, std::uint32_t height,
    std::string* error)
{
    const auto change = displays_.oneChange();
    std::set<std::string> before;
    for (const auto& monitor : allMonitors()) before.insert(monitor.connector);
    auto layout = readDisplayState(*bus_, nullptr);
    std::uint32_t id = 0;
    {
        const auto held = displays_.lock();
        id = held.newId();
    }
    auto recording = record(id, "", width, height, error);
    if (!recording) return std::nullopt;

    const std::string connector = awaitMonitor(before, width, height);
    auto entry = std::make_shared<Entry>();
    entry->width = width;
    entry->height = height;
    entry->connector = connector;
    if (layout) entry->before = std::move(layout->layout);
    entry->recording = std::move(recording);
    log(LogLevel::info, fmt::format("[VirtualDisplay] Virtual monitor {}x{}{} (Mutter ScreenCast RecordVirtual, "
                                    "PipeWire stream {})",
                            width, height, connector.empty() ? "" : " " + connector,
                            entry->recording->streamPath()));
    const auto held = displays_.lock();
    if (!connector.empty()) ourConnectors_.insert(connector);
    held.entries().emplace(id, std::move(entry));
    return id;
}

void GnomeDesktop::removeDisplay(std::uint32_t id)
{
    const auto change = displays_.oneChange();
    std::shared_ptr<Entry> entry;
    bool closed = false;
    {
        const auto held = displays_.lock();
        auto taken = held.take(id);
        if (!taken) return;
        entry = std::move(*taken);
        closed = entry->closed;
    }
    // A monitor we scaled leaves the user's layout behind, as it was.
    std::optional<MonitorLayout> left;
    if (entry->configured && !closed && !entry->mirroring && !entry->connector.empty()) {
        left = layoutWithout(entry->connector);
    }
    if (entry->recording) entry->recording->stop();
    if (left) putBack(entry->connector, *left);
    {
        const auto held = displays_.lock();
        if (!entry->connector.empty()) ourConnectors_.erase(entry->connector);
    }
    sinks_.forget(id, true);
    log(LogLevel::info, fmt::format("[VirtualDisplay] Removed virtual monitor {}x{}", entry->width, entry->height));
}

std::int32_t GnomeDesktop::setMirroring(std::uint32_t id, bool mirroring)
{
    const auto change = displays_.oneChange();
    std::shared_ptr<Entry> entry;
    {
        const auto held = displays_.lock();
        const auto* ours = held.find(id);
        if (!ours) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        entry = *ours;
        if (entry->mirroring == mirroring && !entry->closed) return 0;
    }
    std::string connector;
    if (mirroring) {
        for (const auto& monitor : monitors()) {
            if (monitor.primary) connector = monitor.connector;
        }
        if (connector.empty()) return DISPLAY_ERROR_CANNOT_COMPLETE;
    }
    std::set<std::string> before;
    std::optional<DisplayState> layoutBefore;
    if (!mirroring) {
        for (const auto& monitor : allMonitors()) before.insert(monitor.connector);
        layoutBefore = readDisplayState(*bus_, nullptr);
    }
    {
        // While the display changes over, an end Mutter gives its recording
        // is noted here rather than reported.
        const auto held = displays_.lock();
        entry->settling = true;
        entry->endedWhileSettling = false;
    }
    std::string error;
    auto pictured = std::make_shared<std::atomic<bool>>(false);
    auto recording = record(id, connector, entry->width, entry->height, &error, pictured);
    if (!recording) {
        const auto held = displays_.lock();
        entry->settling = false;
        log(LogLevel::warn, "[VirtualDisplay] WARNING: " + error);
        return DISPLAY_ERROR_CANNOT_COMPLETE;
    }
    const std::string added = mirroring ? "" : awaitMonitor(before, entry->width, entry->height);
    std::unique_ptr<Recording> previous;
    std::string leaving;
    {
        const auto held = displays_.lock();
        previous = std::exchange(entry->recording, std::move(recording));
        entry->mirroring = mirroring;
        entry->shown = connector;
        entry->closed = false;
        leaving = entry->connector;
        if (!entry->connector.empty()) ourConnectors_.erase(entry->connector);
        entry->connector = added;
        if (!added.empty()) ourConnectors_.insert(added);
    }
    // Ending the virtual recording takes its monitor off the desktop.
    std::optional<MonitorLayout> left;
    if (entry->configured && !leaving.empty()) left = layoutWithout(leaving);
    entry->configured = false;
    if (previous) previous->stop();
    if (left) putBack(leaving, *left);
    if (mirroring) {
        // Our monitor's going makes Mutter rebuild its monitors (and paint,
        // which gives the new recording its first picture); the rebuild may
        // also end that recording. A still desktop may leave a recording
        // without any picture. Either way it is made again (three times at
        // most).
        if (!leaving.empty() && !left) awaitDeparture(leaving);
        for (int again = 0; again < 3; ++again) {
            bool endedMeanwhile = false;
            {
                const auto held = displays_.lock();
                endedMeanwhile = std::exchange(entry->endedWhileSettling, false);
            }
            if (!endedMeanwhile && awaitPicture(*pictured)) break;
            log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: {} of monitor {} — recording it again",
                                    endedMeanwhile ? "Mutter ended the recording" : "no picture yet", connector));
            pictured = std::make_shared<std::atomic<bool>>(false);
            auto fresh = record(id, connector, entry->width, entry->height, &error, pictured);
            if (!fresh) break;
            std::unique_ptr<Recording> stale;
            {
                const auto held = displays_.lock();
                stale = std::exchange(entry->recording, std::move(fresh));
            }
            stale->stop();
        }
    }
    if (!mirroring && !added.empty() && entry->scale != 1) {
        // A new virtual monitor starts at scale 1.
        std::string why;
        if (applyScale(added, entry->scale, layoutBefore ? &layoutBefore->layout : nullptr, &why)) {
            entry->configured = true;
        } else {
            log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: monitor {} stays at scale 1: {}", added, why));
        }
    }
    bool endedMeanwhile = false;
    {
        const auto held = displays_.lock();
        entry->settling = false;
        endedMeanwhile = std::exchange(entry->endedWhileSettling, false);
        if (endedMeanwhile) entry->closed = true;
    }
    if (endedMeanwhile) ended(id, "Mutter ended its session");
    return 0;
}

bool GnomeDesktop::setScale(std::uint32_t id, double scale, std::string* error)
{
    const auto change = displays_.oneChange();
    std::shared_ptr<Entry> entry;
    {
        const auto held = displays_.lock();
        const auto* ours = held.find(id);
        if (!ours || (*ours)->closed) {
            if (error) *error = "the virtual monitor is gone";
            return false;
        }
        entry = *ours;
    }
    // While mirroring there is no monitor of ours: the next one gets it.
    if (!entry->mirroring) {
        if (entry->connector.empty()) {
            if (error) *error = "Mutter never listed the virtual monitor";
            return false;
        }
        // Its first scale comes just after Mutter added it.
        const auto before = std::exchange(entry->before, std::nullopt);
        if (!applyScale(entry->connector, scale, before ? &*before : nullptr, error)) return false;
        entry->configured = true;
    }
    const auto held = displays_.lock();
    entry->scale = scale;
    return true;
}

bool GnomeDesktop::applyScale(const std::string& connector, double scale, const MonitorLayout* before,
    std::string* error)
{
    auto state = readDisplayState(*bus_, error);
    if (!state) return false;
    const auto mode = state->monitors.find(connector);
    if (mode == state->monitors.end() || mode->second.mode.empty()) {
        if (error) *error = "Mutter lists no current mode for " + connector;
        return false;
    }
    const auto& scales = mode->second.scales;
    if (std::none_of(scales.begin(), scales.end(), [&](double offered) { return std::abs(offered - scale) < 0.001; })) {
        if (error) {
            *error = fmt::format("Mutter offers no scale {} for the {}x{} mode of {}", scale, mode->second.width,
                mode->second.height, connector);
        }
        return false;
    }
    const auto mine = std::find_if(state->layout.begin(), state->layout.end(),
        [&](const LogicalMonitor& m) { return m.shows(connector); });
    if (mine == state->layout.end()) {
        if (error) *error = connector + " is not part of the desktop";
        return false;
    }
    LogicalMonitor scaled = *mine;
    scaled.scale = scale;
    const auto [width, height] = state->extent(scaled);

    MonitorLayout layout;
    if (before) {
        // Our monitor just came: Mutter may have rearranged the user's
        // monitors for it. They go back where the user had them (those
        // still there), and ours, scaled, next to them.
        const auto present = [&](const LogicalMonitor& m) {
            return std::all_of(m.connectors.begin(), m.connectors.end(),
                [&](const std::string& c) { return state->monitors.contains(c) && c != connector; });
        };
        std::copy_if(before->begin(), before->end(), std::back_inserter(layout), present);
        for (const auto& now : state->layout) {
            const bool placed = std::any_of(layout.begin(), layout.end(),
                [&](const LogicalMonitor& m) { return m.shows(now.connectors.front()); });
            if (!placed && !now.shows(connector)) layout = withMonitorAtEnd(std::move(layout), now);
        }
        scaled.primary = std::none_of(layout.begin(), layout.end(), [](const LogicalMonitor& m) { return m.primary; });
        scaled.width = width;
        scaled.height = height;
        layout = withMonitorAtEnd(std::move(layout), scaled);
    } else {
        // Rescaled where it is: the monitors right of it and below it keep touching it.
        layout = state->layout;
        resizeMonitor(layout, connector, width, height);
        for (auto& m : layout) {
            if (m.shows(connector)) m.scale = scale;
        }
    }
    if (!applyLayout(*bus_, *state, layout, error)) return false;
    log(LogLevel::info, fmt::format("[VirtualDisplay] Monitor {} at scale {} (Mutter DisplayConfig "
                                    "ApplyMonitorsConfig, temporary)",
                            connector, scale));
    return true;
}

std::optional<MonitorLayout> GnomeDesktop::layoutWithout(const std::string& connector)
{
    auto state = readDisplayState(*bus_, nullptr);
    if (!state) return std::nullopt;
    return withoutMonitor(state->layout, connector);
}

void GnomeDesktop::putBack(const std::string& connector, const MonitorLayout& layout)
{
    // The layout Mutter chooses for the monitors left is not the user's (it
    // may remember our scaled configuration, not the one before it).
    awaitDeparture(connector);
    std::string why;
    auto state = readDisplayState(*bus_, &why);
    if (state) {
        const bool complete = std::all_of(layout.begin(), layout.end(), [&](const LogicalMonitor& m) {
            return std::all_of(m.connectors.begin(), m.connectors.end(),
                [&](const std::string& c) { return state->monitors.contains(c); });
        });
        if (!complete) return; // the user's monitors changed meanwhile: Mutter's choice stands
        if (applyLayout(*bus_, *state, layout, &why)) return;
    }
    log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: the desktop's layout without monitor {} could not be "
                                    "put back: {}",
                            connector, why));
}

bool GnomeDesktop::resize(std::uint32_t id, std::uint32_t width, std::uint32_t height)
{
    const auto change = displays_.oneChange();
    std::shared_ptr<Entry> entry;
    {
        const auto held = displays_.lock();
        const auto* ours = held.find(id);
        if (!ours || (*ours)->mirroring || !(*ours)->recording) return false;
        entry = *ours;
    }
    if (!entry->recording->resize(width, height)) return false;
    const auto held = displays_.lock();
    entry->width = width;
    entry->height = height;
    return true;
}

std::optional<GnomeDesktop::Placement> GnomeDesktop::placement(std::uint32_t id) const
{
    const auto held = displays_.lock();
    const auto* ours = held.find(id);
    if (!ours || (*ours)->closed || !(*ours)->recording) return std::nullopt;
    const Entry& entry = **ours;
    const Recording& recording = *entry.recording;
    return Placement{PLANE_SPACING * id, 0, recording.width(), recording.height(), recording.sessionPath(),
        recording.streamPath(), entry.width, entry.height};
}

std::optional<std::uint32_t> GnomeDesktop::displayAt(double x, double y) const
{
    const double slot = std::floor(x / PLANE_SPACING);
    if (!(slot >= 1 && slot <= double(UINT32_MAX))) return std::nullopt;
    const auto id = std::uint32_t(slot);
    auto where = placement(id);
    if (!where || x - where->left >= where->width || y < 0 || y >= where->height) return std::nullopt;
    return id;
}

bool GnomeDesktop::attach(std::uint32_t id, std::shared_ptr<FrameSink> sink)
{
    if (!isOurs(id)) return false;
    sinks_.attach(id, std::move(sink));
    return true;
}

void GnomeDesktop::detach(std::uint32_t id, const FrameSink* sink) { sinks_.detach(id, sink); }

void GnomeDesktop::deliver(std::uint32_t id, const Frame& frame) { sinks_.deliver(id, frame); }

void GnomeDesktop::closed(std::uint32_t id)
{
    {
        const auto held = displays_.lock();
        if (const auto* ours = held.find(id)) {
            if ((*ours)->settling) {
                (*ours)->endedWhileSettling = true; // setMirroring() deals with it
                return;
            }
            (*ours)->closed = true;
        }
    }
    ended(id, "Mutter ended its session");
}

void GnomeDesktop::ended(std::uint32_t id, const std::string& why)
{
    log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: virtual display {} ended: {}", id, why));
    sinks_.ended(id);
}

std::vector<GnomeDesktop::Monitor> GnomeDesktop::allMonitors(std::string* error)
{
    std::vector<Monitor> found;
    Variant state = bus_->call(DISPLAY_CONFIG_SERVICE, "/org/gnome/Mutter/DisplayConfig", DISPLAY_CONFIG_SERVICE,
        "GetCurrentState", nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})", error);
    if (!state) return found;
    std::uint32_t serial = 0;
    GVariantIter* monitors = nullptr;
    GVariantIter* logical = nullptr;
    GVariant* properties = nullptr;
    g_variant_get(state.get(), "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})@a{sv})", &serial, &monitors,
        &logical, &properties);

    const gchar* connector = nullptr;
    GVariantIter* modes = nullptr;
    GVariant* monitorProperties = nullptr;
    while (g_variant_iter_next(monitors, "((&s&s&s&s)a(siiddada{sv})@a{sv})", &connector, nullptr, nullptr, nullptr,
        &modes, &monitorProperties)) {
        Monitor monitor;
        monitor.connector = connector;
        gboolean builtIn = FALSE;
        g_variant_lookup(monitorProperties, "is-builtin", "b", &builtIn);
        monitor.builtIn = builtIn;
        GVariant* mode = nullptr;
        while ((mode = g_variant_iter_next_value(modes))) {
            gint32 width = 0;
            gint32 height = 0;
            GVariant* modeProperties = nullptr;
            g_variant_get(mode, "(&siiddad@a{sv})", nullptr, &width, &height, nullptr, nullptr, nullptr,
                &modeProperties);
            gboolean current = FALSE;
            g_variant_lookup(modeProperties, "is-current", "b", &current);
            if (current) {
                monitor.width = std::uint32_t(width);
                monitor.height = std::uint32_t(height);
            }
            g_variant_unref(modeProperties);
            g_variant_unref(mode);
        }
        g_variant_iter_free(modes);
        g_variant_unref(monitorProperties);
        found.push_back(std::move(monitor));
    }
    g_variant_iter_free(monitors);

    // The connectors of the logical monitors (the lit ones), the primary's marked.
    GVariant* group = nullptr;
    while ((group = g_variant_iter_next_value(logical))) {
        gboolean primary = FALSE;
        GVariant* members = nullptr;
        g_variant_get(group, "(iidub@a(ssss)@a{sv})", nullptr, nullptr, nullptr, nullptr, &primary, &members, nullptr);
        GVariantIter member;
        g_variant_iter_init(&member, members);
        const gchar* name = nullptr;
        while (g_variant_iter_next(&member, "(&s&s&s&s)", &name, nullptr, nullptr, nullptr)) {
            for (auto& monitor : found) {
                if (monitor.connector != name) continue;
                monitor.lit = true;
                monitor.primary = monitor.primary || primary;
            }
        }
        g_variant_unref(members);
        g_variant_unref(group);
    }
    g_variant_iter_free(logical);
    g_variant_unref(properties);
    return found;
}

std::vector<GnomeDesktop::Monitor> GnomeDesktop::monitors(std::string* error)
{
    auto all = allMonitors(error);
    std::vector<Monitor> theirs;
    const auto held = displays_.lock();
    for (auto& monitor : all) {
        if (ourConnectors_.contains(monitor.connector)) continue;
        monitor.id = held.idFor(monitor.connector);
        theirs.push_back(std::move(monitor));
    }
    std::stable_sort(theirs.begin(), theirs.end(), [](const Monitor& a, const Monitor& b) { return a.primary > b.primary; });
    return theirs;
}

} // namespace qb::gnome
