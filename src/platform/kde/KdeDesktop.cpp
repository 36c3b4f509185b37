#include "platform/kde/KdeDesktop.h"

#include <algorithm>
#include <cmath>
#include <set>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "platform/VirtualDisplays.h"

namespace qb::kde {

namespace {

void log(LogLevel level, const std::string& line) { platformLog(level, "VirtualDisplay", line); }

// KWin names an output it adds for us after the name we give it.
std::string outputNameFor(std::uint32_t id) { return "QuillBright-" + std::to_string(id); }

} // namespace

std::shared_ptr<KdeDesktop> KdeDesktop::open(const std::string& waylandDisplay, std::string* error)
{
    std::shared_ptr<KdeDesktop> desktop(new KdeDesktop);
    desktop->connection_ = KdeConnection::connect(waylandDisplay, error);
    if (!desktop->connection_) return nullptr;
    std::string why;
    desktop->pipewire_ = PipeWire::connect(&why);
    if (!desktop->pipewire_) {
        if (error) *error = "KWin's screencast needs PipeWire, and " + why;
        return nullptr;
    }
    if (!desktop->connection_->canInject()) {
        platformLog(LogLevel::warn, "Platform", "[Platform] WARNING: KWin offers this program no fake input device: "
                                                "touches on the tablet will not reach the desktop");
    }
    return desktop;
}

KdeDesktop::~KdeDesktop()
{
    // Every stream ends before the connections it uses go.
    removeAll();
    std::map<std::uint32_t, std::shared_ptr<Feed>> feeds;
    {
        const auto held = displays_.lock();
        feeds.swap(monitorFeeds_);
    }
    for (auto& [id, feed] : feeds) stopFeed(feed);
}

std::shared_ptr<KdeDesktop::Feed> KdeDesktop::startFeed(std::uint32_t id, const std::optional<std::string>& output,
    std::uint32_t width, std::uint32_t height, double scale, std::string* error)
{
    auto feed = std::make_shared<Feed>();
    const auto before = connection_->outputs();
    auto stream = output ? connection_->streamOutput(*output, error)
                         : connection_->streamVirtualOutput(outputNameFor(id), std::uint32_t(std::lround(width / scale)),
                             std::uint32_t(std::lround(height / scale)), scale, error);
    if (!stream) return nullptr;
    feed->handle = stream->handle;
    if (output) {
        feed->output = *output;
    } else {
        for (const auto& added : connection_->outputs()) {
            const bool known = std::ranges::any_of(before, [&](const KdeOutput& o) { return o.name == added.name; });
            if (!known) feed->output = added.name;
        }
        if (feed->output.empty()) {
            log(LogLevel::warn, "[VirtualDisplay] WARNING: KWin streams a new output but announced none: the "
                                "display cannot take touches");
        }
    }
    // The desktop outlives its feeds (its destructor stops them), and a
    // stopped stream calls nothing: `this` is safe in both callbacks.
    feed->stream = std::make_unique<PipeWireStream>(pipewire_,
        PipeWireStream::Options{false, width, height, [this, id](const PushedFrame& frame) { deliver(id, frame); },
            [this, id] { ended(id); }});
    if (!feed->stream->connect(stream->node, error)) {
        stopFeed(feed);
        return nullptr;
    }
    return feed;
}

void KdeDesktop::stopFeed(const std::shared_ptr<Feed>& feed)
{
    if (!feed) return;
    if (feed->stream) feed->stream->stop();
    connection_->closeStream(feed->handle);
}

std::optional<std::uint32_t> KdeDesktop::createDisplay(std::uint32_t width, std::uint32_t height, std::string* error)
{
    const auto change = displays_.oneChange();
    const std::uint32_t id = displays_.lock().newId();
    std::string why;
    auto feed = startFeed(id, std::nullopt, width, height, 1.0, &why);
    if (!feed) {
        if (error) *error = "KWin added no " + std::to_string(width) + "x" + std::to_string(height) + " output: " + why;
        return std::nullopt;
    }
    log(LogLevel::info, fmt::format("[VirtualDisplay] Virtual output {}x{} {} (KWin screencast)", width, height,
                            feed->output.empty() ? outputNameFor(id) : feed->output));
    displays_.lock().entries()[id] = Entry{width, height, 1.0, false, std::move(feed)};
    return id;
}

void KdeDesktop::removeDisplay(std::uint32_t id)
{
    const auto change = displays_.oneChange();
    const auto entry = displays_.take(id);
    if (!entry) return;
    stopFeed(entry->feed);
    sinks_.forget(id, true);
    log(LogLevel::info, fmt::format("[VirtualDisplay] Removed virtual output {}", id));
}

std::int32_t KdeDesktop::setMirroring(std::uint32_t id, bool mirroring)
{
    const auto change = displays_.oneChange();
    const auto entry = displays_.copy(id);
    if (!entry) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
    if (entry->mirroring == mirroring) return 0;
    std::optional<std::string> shown;
    if (mirroring) {
        const auto all = monitors();
        if (all.empty()) return DISPLAY_ERROR_CANNOT_COMPLETE;
        shown = all.front().output.name;
    }
    // Our output leaves the layout while the display shows the primary.
    stopFeed(entry->feed);
    std::string why;
    auto feed = startFeed(id, shown, entry->width, entry->height, entry->scale, &why);
    if (!feed) {
        log(LogLevel::warn, "[VirtualDisplay] WARNING: " + std::string(mirroring ? "mirroring" : "extending")
                + " failed: " + why);
        if (const auto held = displays_.lock(); auto* ours = held.find(id)) ours->feed.reset();
        return DISPLAY_ERROR_CANNOT_COMPLETE;
    }
    const auto held = displays_.lock();
    auto* ours = held.find(id);
    if (!ours) return DISPLAY_ERROR_CANNOT_COMPLETE;
    ours->feed = std::move(feed);
    ours->mirroring = mirroring;
    return 0;
}

bool KdeDesktop::setScale(std::uint32_t id, double scale)
{
    const auto change = displays_.oneChange();
    Entry entry;
    {
        const auto held = displays_.lock();
        auto* ours = held.find(id);
        if (!ours || !(scale >= 1)) return false;
        if (ours->scale == scale || ours->mirroring) {
            ours->scale = scale;
            return true;
        }
        entry = *ours;
    }
    stopFeed(entry.feed);
    std::string why;
    auto feed = startFeed(id, std::nullopt, entry.width, entry.height, scale, &why);
    const auto held = displays_.lock();
    auto* ours = held.find(id);
    if (!ours) return false;
    ours->feed = feed;
    if (!feed) {
        log(LogLevel::warn, "[VirtualDisplay] WARNING: KWin made no output at scale " + fmt::format("{}", scale) + ": "
                + why);
        return false;
    }
    ours->scale = scale;
    return true;
}

std::optional<KdeOutput> KdeDesktop::outputNamed(const std::string& name)
{
    for (const auto& output : connection_->outputs()) {
        if (output.name == name) return output;
    }
    return std::nullopt;
}

std::optional<OutputPlacement> KdeDesktop::placement(std::uint32_t id)
{
    std::string shown;
    OutputPlacement where;
    {
        const auto held = displays_.lock();
        if (const auto* ours = held.find(id)) {
            if (!ours->feed) return std::nullopt;
            shown = ours->feed->output;
            where.targetWidth = ours->width;
            where.targetHeight = ours->height;
        } else {
            shown = held.nameOf(id);
        }
    }
    const auto output = shown.empty() ? std::nullopt : outputNamed(shown);
    if (!output) return std::nullopt;
    where.left = output->x;
    where.top = output->y;
    where.width = output->logicalWidth;
    where.height = output->logicalHeight;
    where.pixelWidth = output->pixelWidth;
    where.pixelHeight = output->pixelHeight;
    return where;
}

std::vector<OutputMonitor<KdeOutput>> KdeDesktop::monitors()
{
    std::set<std::string> ours;
    {
        const auto held = displays_.lock();
        for (const auto& [id, entry] : held.entries()) {
            if (entry.feed && !entry.mirroring) ours.insert(entry.feed->output);
        }
    }
    std::vector<OutputMonitor<KdeOutput>> found;
    for (const auto& output : connection_->outputs()) {
        if (ours.contains(output.name)) continue;
        const bool primary = output.x == 0 && output.y == 0;
        found.insert(primary ? found.begin() : found.end(),
            OutputMonitor<KdeOutput>{displays_.lock().idFor(output.name), output});
    }
    return found;
}

bool KdeDesktop::attach(const CaptureStreamRequest& request, std::shared_ptr<FrameSink> sink)
{
    const std::uint32_t id = request.displayId;
    if (!isOurs(id)) {
        // A monitor: its stream runs while the capture is attached.
        auto where = placement(id);
        if (!where) return false;
        const std::string output = displays_.lock().nameOf(id);
        sinks_.attach(id, sink);
        std::string why;
        auto feed = startFeed(id, output, where->pixelWidth, where->pixelHeight, 1.0, &why);
        if (!feed) {
            log(LogLevel::warn, "[VirtualDisplay] WARNING: no stream of " + output + ": " + why);
            sinks_.detach(id, sink.get());
            return false;
        }
        {
            const auto held = displays_.lock();
            std::swap(monitorFeeds_[id], feed);
        }
        stopFeed(feed); // a capture attached before
        return true;
    }
    sinks_.attach(id, std::move(sink));
    return true;
}

void KdeDesktop::detach(std::uint32_t id, const FrameSink* sink)
{
    sinks_.detach(id, sink);
    std::shared_ptr<Feed> feed;
    {
        const auto held = displays_.lock();
        if (auto it = monitorFeeds_.find(id); it != monitorFeeds_.end()) {
            feed = std::move(it->second);
            monitorFeeds_.erase(it);
        }
    }
    stopFeed(feed);
    // A monitor's next capture starts from its own stream's first picture.
    if (!isOurs(id)) sinks_.forget(id, false);
}

void KdeDesktop::deliver(std::uint32_t id, const PushedFrame& frame) { sinks_.deliver(id, frame); }

void KdeDesktop::ended(std::uint32_t id)
{
    log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: KWin ended the stream of display {}", id));
    sinks_.ended(id);
}

} // namespace qb::kde
