#include "platform/wlroots/WlrootsDesktop.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "runtime/DurableFile.h"
#include "platform/wlroots/WlrootsConnection.h"

namespace qb::wlroots {

namespace {

using namespace std::chrono_literals;

// How long a new output gets to show up with its mode.
constexpr auto OUTPUT_LIMIT = 3s;
// Where an output that cannot be removed waits for the next display: far
// off the layout, touching nothing, so no pointer wanders onto it.
constexpr int PARKING_X = 1 << 20;
constexpr int PARKING_STEP = 20000;

void log(LogLevel level, const std::string& line) { platformLog(level, "VirtualDisplay", line); }

bool builtInName(const std::string& name)
{
    return name.starts_with("eDP") || name.starts_with("LVDS") || name.starts_with("DSI");
}

std::string swayName(const std::string& name) { return "\"" + name + "\""; }

} // namespace

std::shared_ptr<WlrootsDesktop> WlrootsDesktop::open(const Options& options, std::string* error)
{
    std::shared_ptr<WlrootsDesktop> desktop(new WlrootsDesktop);
    desktop->options_ = options;
    desktop->wayland_ = WlrootsConnection::connect(options.waylandDisplay, error);
    if (!desktop->wayland_) return nullptr;
    if (!options.swaySocket.empty()) {
        std::string why;
        desktop->ipc_ = SwayIpc::connect(options.swaySocket, &why);
        if (!desktop->ipc_) log(LogLevel::warn, "[VirtualDisplay] WARNING: " + why);
    }
    if (desktop->ipc_) desktop->recover();
    return desktop;
}

WlrootsDesktop::~WlrootsDesktop()
{
    removeAll();
    // The connection's thread ends before the displays' bookkeeping goes.
    wayland_.reset();
}

std::vector<SwayOutput> WlrootsDesktop::outputs()
{
    if (!ipc_) return wayland_->outputs();
    std::string error;
    auto read = ipc_->outputs(&error);
    const auto held = displays_.lock();
    if (read) {
        layoutUnread_ = false;
        lastLayout_ = std::move(*read);
    } else if (!std::exchange(layoutUnread_, true)) {
        // A touch or a frame during a slow moment keeps the layout last read.
        log(LogLevel::warn, "[VirtualDisplay] WARNING: " + error + "; using the output layout last read");
    }
    return lastLayout_;
}

std::optional<SwayOutput> WlrootsDesktop::findOutput(const std::vector<SwayOutput>& all, const std::string& name) const
{
    for (const auto& output : all) {
        if (output.name == name) return output;
    }
    return std::nullopt;
}

// A built-in panel; without one the first active output not of ours.
std::string WlrootsDesktop::primaryName(const std::vector<SwayOutput>& all) const
{
    std::set<std::string> ours;
    {
        const auto held = displays_.lock();
        for (const auto& [id, entry] : held.entries()) ours.insert(entry.output);
        ours.insert(spares_.begin(), spares_.end());
    }
    std::string first;
    for (const auto& output : all) {
        if (!output.active || ours.contains(output.name)) continue;
        if (builtInName(output.name)) return output.name;
        if (first.empty()) first = output.name;
    }
    return first;
}

std::string WlrootsDesktop::shownOutput(std::uint32_t id) const
{
    const auto held = displays_.lock();
    if (const auto* ours = held.find(id)) return ours->mirroring ? "" : ours->output;
    return held.nameOf(id);
}

// ------------------------------------------------------------ the record

void WlrootsDesktop::writeRecord()
{
    if (options_.recordFile.empty()) return;
    std::vector<std::string> names;
    {
        const auto held = displays_.lock();
        for (const auto& [id, entry] : held.entries()) names.push_back(entry.output);
        names.insert(names.end(), spares_.begin(), spares_.end());
    }
    std::error_code ignored;
    if (names.empty()) {
        std::filesystem::remove(options_.recordFile, ignored);
        return;
    }
    // The socket names the sway instance: another sway's HEADLESS-2 is not ours.
    std::string text = options_.swaySocket + "\n";
    for (const auto& name : names) text += name + "\n";
    if (std::string error; !writeFileDurably(options_.recordFile, text, 0644, &error)) {
        log(LogLevel::warn, "[VirtualDisplay] Cannot record the outputs made for a crash to undo: " + error);
    }
}

void WlrootsDesktop::recover()
{
    std::ifstream file(options_.recordFile);
    std::string socket;
    if (!file || !std::getline(file, socket) || socket != options_.swaySocket) return;
    const auto all = outputs();
    for (std::string name; std::getline(file, name);) {
        const auto output = findOutput(all, name);
        if (!output || !name.starts_with("HEADLESS-")) continue;
        if (output->active) {
            log(LogLevel::info, "[VirtualDisplay] Removing output " + name + " left by a previous run");
        }
        release(name);
    }
    writeRecord();
}

// Unplugs the output. sway before 1.8 knows no unplug, and its headless
// outputs cannot even be disabled: the output is parked and kept for the
// next display.
void WlrootsDesktop::release(const std::string& name)
{
    std::string error;
    if (canUnplug_ && ipc_->command("output " + swayName(name) + " unplug", &error)) return;
    if (canUnplug_ && error.find("Invalid output subcommand") != std::string::npos) {
        canUnplug_ = false;
        log(LogLevel::warn, "[VirtualDisplay] WARNING: this sway cannot remove an output (no `output … unplug` "
                            "before sway 1.8): ours are parked off the layout and reused");
    }
    park(name);
    const auto held = displays_.lock();
    if (std::ranges::find(spares_, name) == spares_.end()) spares_.push_back(name);
}

// Ours that remain close up, left to right after the others, so none is
// left beyond a gap the pointer cannot cross.
void WlrootsDesktop::closeGaps()
{
    std::vector<std::string> shown;
    {
        const auto held = displays_.lock();
        for (const auto& [id, entry] : held.entries()) {
            if (!entry.mirroring) shown.push_back(entry.output);
        }
    }
    if (shown.empty()) return;
    const auto all = outputs();
    int right = 0;
    for (const auto& output : all) {
        if (!output.active || output.x >= PARKING_X || std::ranges::find(shown, output.name) != shown.end()) continue;
        right = std::max(right, output.x + output.width);
    }
    std::string commands;
    for (const auto& name : shown) {
        const auto output = findOutput(all, name);
        if (!output) continue;
        commands += fmt::format("output {} pos {} 0; ", swayName(name), right);
        right += output->width;
    }
    std::string error;
    if (!ipc_->command(commands, &error)) log(LogLevel::warn, "[VirtualDisplay] WARNING: " + error);
}

void WlrootsDesktop::park(const std::string& name)
{
    int slot = 0;
    {
        const auto held = displays_.lock();
        auto it = std::ranges::find(spares_, name);
        slot = int(it - spares_.begin());
    }
    std::string error;
    if (!ipc_->command(fmt::format("output {} enable pos {} 0", swayName(name), PARKING_X + slot * PARKING_STEP), &error)) {
        log(LogLevel::warn, "[VirtualDisplay] WARNING: sway did not move output " + name + " away: " + error);
    }
}

// ---------------------------------------------------------- our displays

bool WlrootsDesktop::placeOurs(const std::string& name, std::uint32_t width, std::uint32_t height, std::string* error)
{
    // Ours goes right of everything else. The others are pinned where they
    // are first, or sway would lay out the unplaced ones after ours.
    const auto all = outputs();
    int right = 0;
    std::string commands;
    for (const auto& output : all) {
        if (!output.active || output.name == name || output.x >= PARKING_X) continue;
        right = std::max(right, output.x + output.width);
        commands += fmt::format("output {} pos {} {}; ", swayName(output.name), output.x, output.y);
    }
    commands += fmt::format("output {} enable mode {}x{} pos {} 0 scale 1", swayName(name), width, height, right);
    if (!ipc_->command(commands, error)) return false;
    const auto deadline = std::chrono::steady_clock::now() + OUTPUT_LIMIT;
    while (!wayland_->hasOutput(name, width, height)) {
        if (std::chrono::steady_clock::now() > deadline) {
            if (error) *error = fmt::format("sway did not show output {} at {}x{}", name, width, height);
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::optional<std::uint32_t> WlrootsDesktop::createDisplay(std::uint32_t width, std::uint32_t height,
    std::string* error)
{
    if (!ipc_) {
        // No output can be added: the display shows the primary output, as in mirror mode.
        const std::string primary = primaryName(outputs());
        if (primary.empty()) {
            if (error) *error = "the compositor announces no output to show";
            return std::nullopt;
        }
        log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: no sway control socket ($SWAYSOCK): no output can "
                                        "be added for the {}x{} display, it shows {} (mirror mode)",
                                width, height, primary));
        const auto held = displays_.lock();
        mirrorSource_ = primary;
        const std::uint32_t id = held.newId();
        held.entries()[id] = Entry{"", width, height, true};
        return id;
    }
    if (width == 0 || height == 0 || width > 16384 || height > 16384) {
        if (error) *error = fmt::format("no output of {}x{} can be made", width, height);
        return std::nullopt;
    }
    const auto change = displays_.oneChange();
    std::string name;
    {
        const auto held = displays_.lock();
        if (!spares_.empty()) {
            name = spares_.back();
            spares_.pop_back();
        }
    }
    if (name.empty()) {
        const auto before = outputs();
        if (!ipc_->command("create_output", error)) return std::nullopt;
        for (const auto& output : outputs()) {
            if (!findOutput(before, output.name)) name = output.name;
        }
        if (name.empty()) {
            if (error) *error = "sway made no new output";
            return std::nullopt;
        }
    }
    std::uint32_t id = 0;
    {
        const auto held = displays_.lock();
        id = held.newId();
        held.entries()[id] = Entry{name, width, height, false};
    }
    writeRecord();
    if (!placeOurs(name, width, height, error)) {
        displays_.take(id);
        release(name);
        writeRecord();
        return std::nullopt;
    }
    log(LogLevel::info, fmt::format("[VirtualDisplay] Virtual output {} {}x{} (sway create_output)", name, width, height));
    return id;
}

void WlrootsDesktop::removeDisplay(std::uint32_t id)
{
    const auto change = displays_.oneChange();
    const auto entry = displays_.take(id);
    if (!entry) return;
    wayland_->endCapture(id);
    if (entry->output.empty()) return; // one that could not be added
    release(entry->output);
    closeGaps();
    writeRecord();
    log(LogLevel::info, fmt::format("[VirtualDisplay] Removed virtual output {} {}x{}", entry->output, entry->width,
                            entry->height));
}

bool WlrootsDesktop::canInject() const { return wayland_->canInject(); }

bool WlrootsDesktop::canType() const { return wayland_->canType(); }

void WlrootsDesktop::key(std::uint32_t keysym, bool down) { wayland_->key(keysym, down); }

std::int32_t WlrootsDesktop::setMirroring(std::uint32_t id, bool mirroring)
{
    const auto change = displays_.oneChange();
    const auto entry = displays_.copy(id);
    if (!entry) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
    if (entry->mirroring == mirroring) return 0;
    if (entry->output.empty()) {
        // Without an output of its own the display can only show the primary.
        log(LogLevel::warn, std::string(WLROOTS_EXTENDED_REFUSED_LINE));
        return DISPLAY_ERROR_CANNOT_COMPLETE;
    }
    std::string error;
    if (mirroring) {
        const std::string primary = primaryName(outputs());
        if (primary.empty()) return DISPLAY_ERROR_CANNOT_COMPLETE;
        {
            const auto held = displays_.lock();
            mirrorSource_ = primary;
        }
        // sway before 1.8 cannot disable a headless output: it is parked instead
        // (enabled again in its configuration, or sway would apply nothing more to it).
        if (!ipc_->command("output " + swayName(entry->output) + " disable", &error)
            || findOutput(outputs(), entry->output).value_or(SwayOutput{}).active) {
            park(entry->output);
        }
    } else if (!placeOurs(entry->output, entry->width, entry->height, &error)) {
        log(LogLevel::warn, "[VirtualDisplay] WARNING: " + error);
        return DISPLAY_ERROR_CANNOT_COMPLETE;
    }
    if (const auto held = displays_.lock(); auto* ours = held.find(id)) ours->mirroring = mirroring;
    closeGaps();
    wayland_->retarget(id);
    return 0;
}

bool WlrootsDesktop::setScale(std::uint32_t id, double scale)
{
    const auto entry = displays_.copy(id);
    if (!entry) return false;
    const std::string& name = entry->output;
    if (name.empty()) return true; // it shows another output, scaled as that one is
    return ipc_->command(fmt::format("output {} scale {}", swayName(name), scale));
}

std::optional<OutputPlacement> WlrootsDesktop::placement(std::uint32_t id)
{
    OutputPlacement where;
    std::string shown;
    bool ours = false;
    if (const auto entry = displays_.copy(id)) {
        ours = true;
        shown = entry->mirroring ? "" : entry->output;
        where.targetWidth = entry->width;
        where.targetHeight = entry->height;
    }
    const auto all = outputs();
    if (ours && shown.empty()) shown = primaryName(all);
    if (!ours) shown = shownOutput(id);
    const auto output = findOutput(all, shown);
    if (!output || !output->active) return std::nullopt;
    where.left = output->x;
    where.top = output->y;
    where.width = output->width;
    where.height = output->height;
    where.pixelWidth = std::uint32_t(output->pixelWidth);
    where.pixelHeight = std::uint32_t(output->pixelHeight);
    if (!ours) {
        where.targetWidth = where.pixelWidth;
        where.targetHeight = where.pixelHeight;
    }
    return where;
}

std::vector<OutputMonitor<SwayOutput>> WlrootsDesktop::monitors()
{
    const auto all = outputs();
    const std::string primary = primaryName(all);
    std::vector<OutputMonitor<SwayOutput>> theirs;
    const auto held = displays_.lock();
    std::set<std::string> ours(spares_.begin(), spares_.end());
    for (const auto& [id, entry] : held.entries()) ours.insert(entry.output);
    for (const auto& output : all) {
        if (!output.active || ours.contains(output.name)) continue;
        theirs.push_back({held.idFor(output.name), output, output.name == primary});
    }
    std::stable_partition(theirs.begin(), theirs.end(), [](const auto& m) { return m.builtIn; });
    return theirs;
}

// ------------------------------------------------------------------ input

void WlrootsDesktop::pointer(double x, double y, std::optional<ButtonChange> button)
{
    for (const auto& output : outputs()) {
        if (!output.active || x < output.x || y < output.y || x >= output.x + output.width
            || y >= output.y + output.height) {
            continue;
        }
        wayland_->pointer(output.name, x - output.x, y - output.y, output.width, output.height, button);
        return;
    }
}

void WlrootsDesktop::scroll(double vertical, double horizontal, bool stop)
{
    wayland_->scroll(vertical, horizontal, stop);
}

// ---------------------------------------------------------------- capture

bool WlrootsDesktop::attach(const CaptureStreamRequest& request, std::shared_ptr<FrameSink> sink)
{
    const std::uint32_t id = request.displayId;
    if (!placement(id)) return false;
    std::weak_ptr<WlrootsDesktop> weak = weak_from_this();
    // Asked on the connection's thread before each copy: no sway round trip there.
    auto target = [weak, id]() -> std::string {
        auto self = weak.lock();
        if (!self) return "";
        std::string shown = self->shownOutput(id);
        if (!shown.empty()) return shown;
        const auto held = self->displays_.lock();
        const auto* ours = held.find(id);
        return ours && ours->mirroring ? self->mirrorSource_ : "";
    };
    wayland_->startCapture(id, std::move(target), request.showCursor, std::move(sink));
    return true;
}

void WlrootsDesktop::detach(std::uint32_t displayId, const FrameSink* sink)
{
    wayland_->stopCapture(displayId, sink);
}

void WlrootsDesktop::onLost(std::function<void()> callback) { wayland_->onLost(std::move(callback)); }

} // namespace qb::wlroots
