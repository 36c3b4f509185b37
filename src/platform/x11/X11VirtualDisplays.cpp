// Virtual displays on X11. A new display is a rectangle added to the right of
// the desktop's screen, shown either by a disconnected output the driver lets
// us light (VIRTUAL*, DUMMY*, any free connector) with a mode of our own, or,
// when no output takes it, by a RandR 1.5 monitor declared over new
// framebuffer area (the desktop lays windows out on monitors). Every mode and
// monitor we create is named "QuillBright-...", so whatever a killed daemon
// left behind is recognised and removed at the next start.
//
// X11 has no per-output scale. A HiDPI mode (fewer points than pixels) lays
// the display out at its size in points: its output's mode, or its monitor,
// takes that size on the screen, where it stays, and the capture enlarges
// the picture to the display's pixels (RequestSizedSurface).

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "platform/VirtualDisplays.h"
#include "platform/OwnDisplayMirroring.h"
#include "platform/x11/X11Platform.h"
#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>

namespace qb::x11 {

namespace {

void log(LogLevel level, const std::string& line) { platformLog(level, "VirtualDisplay", line); }

bool hasPrefix(const char* name) { return name && std::string_view(name).starts_with(OBJECT_PREFIX); }

// Millimetres at 96 dpi, what X servers assume for a size without a panel.
int millimetres(int pixels) { return std::max(1, static_cast<int>(pixels * 25.4 / 96.0 + 0.5)); }

Rect rootSize(Display* display, Window root)
{
    Window ignoredRoot = 0;
    int x = 0;
    int y = 0;
    unsigned width = 0;
    unsigned height = 0;
    unsigned border = 0;
    unsigned depth = 0;
    XGetGeometry(display, root, &ignoredRoot, &x, &y, &width, &height, &border, &depth);
    return {0, 0, int(width), int(height)};
}

// The bounding box of every lit CRTC, but those showing one of `skipped`.
Rect litBounds(Display* display, Window root, const std::vector<RROutput>& skipped = {})
{
    Rect bounds;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (!resources) return bounds;
    for (int i = 0; i < resources->ncrtc; ++i) {
        XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i]);
        if (!crtc) continue;
        const bool ours = std::any_of(crtc->outputs, crtc->outputs + crtc->noutput, [&](RROutput output) {
            return std::find(skipped.begin(), skipped.end(), output) != skipped.end();
        });
        if (crtc->mode && !ours) {
            bounds.width = std::max(bounds.width, crtc->x + int(crtc->width));
            bounds.height = std::max(bounds.height, crtc->y + int(crtc->height));
        }
        XRRFreeCrtcInfo(crtc);
    }
    XRRFreeScreenResources(resources);
    return bounds;
}

bool isBuiltInName(std::string_view name)
{
    return name.starts_with("eDP") || name.starts_with("LVDS") || name.starts_with("DSI");
}

} // namespace

// ---------------------------------------------------------------- the service

class X11VirtualDisplays;

class X11VirtualDisplay final : public VirtualDisplay {
public:
    X11VirtualDisplay(std::shared_ptr<X11VirtualDisplays> owner, std::uint32_t id) : owner_(std::move(owner)), id_(id) {}
    ~X11VirtualDisplay() override;
    std::uint32_t displayId() const override { return id_; }
    bool applySettings(const VirtualDisplaySettings& settings) override;

private:
    std::shared_ptr<X11VirtualDisplays> owner_;
    std::uint32_t id_;
};

class X11VirtualDisplays final : public VirtualDisplays, public std::enable_shared_from_this<X11VirtualDisplays> {
public:
    X11VirtualDisplays(std::shared_ptr<X11Display> x, bool monitorsOnly, bool confirms)
        : x_(std::move(x))
        , monitorsOnly_(monitorsOnly)
        , confirms_(confirms)
    {
    }

    // What one virtual display holds on the server.
    struct Entry {
        std::string name;
        std::uint32_t serial = 0;
        int width = 0; // its pixels (the tablet's)
        int height = 0;
        int layoutWidth = 0; // its size on the screen: its pixels, or its points in a HiDPI mode
        int layoutHeight = 0;
        Rect rect;
        bool shown = false;     // has its area on the desktop (not mirroring)
        bool viaOutput = false; // lit output, else a monitor
        RROutput output = 0;
        RRCrtc crtc = 0;
        RRMode mode = 0;
        Atom monitor = 0;
        VirtualDisplaySettings settings;
    };

    std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override
    {
        const int width = int(descriptor.maxPixelsWide);
        const int height = int(descriptor.maxPixelsHigh);
        if (width <= 0 || height <= 0 || width > 16384 || height > 16384 || !x_->hasRandr) return nullptr;
        Entry entry;
        entry.name = fmt::format("{}{}x{}-{}", OBJECT_PREFIX, width, height, descriptor.serialNumber);
        entry.serial = descriptor.serialNumber;
        entry.width = entry.layoutWidth = width;
        entry.height = entry.layoutHeight = height;

        std::lock_guard guard(lock_);
        X11Display::Lock hold(*x_);
        if (!originalSize_) {
            originalSize_ = lastSize_ = rootSize(x_->display(), x_->root());
            userBounds_ = userBounds();
            userPrimary_ = XRRGetOutputPrimary(x_->display(), x_->root());
        }
        if (!show(entry)) return nullptr;
        // The id: the output we lit, else the monitor's name atom.
        const std::uint32_t id = entry.viaOutput ? std::uint32_t(entry.output) : std::uint32_t(entry.monitor);
        log(LogLevel::info,
            fmt::format("[VirtualDisplay] {} {}x{} at +{}+{} ({})", entry.viaOutput ? "Output" : "Monitor", width,
                height, entry.rect.x, entry.rect.y,
                entry.viaOutput ? "XRRCreateMode + XRRSetCrtcConfig on a free output"
                                : "framebuffer grown + XRRSetMonitor"));
        x_->setVirtualRect(id, entry.rect, false, entry.viaOutput ? entry.output : 0);
        entries_.emplace(id, std::move(entry));
        return std::make_unique<X11VirtualDisplay>(shared_from_this(), id);
    }

    // The X server applies a RandR request before it answers it, and every
    // change we make ends with a request answered (the CRTC's configuration,
    // the screen's new size read back): once the server has answered all of
    // ours, the outputs, monitors and screen are what we asked. No pause.
    asio::awaitable<DisplayReadiness> awaitDisplayReady(std::uint32_t displayId, Duration limit,
        Sleeper& interruption) override
    {
        if (!confirms_) co_return co_await VirtualDisplays::awaitDisplayReady(displayId, limit, interruption);
        if (interruption.interrupted()) co_return DisplayReadiness::interrupted;
        {
            X11Display::Lock hold(*x_);
            XSync(x_->display(), False);
        }
        co_return DisplayReadiness::confirmed;
    }

    std::optional<std::vector<DisplayModeInfo>> copyAllDisplayModes(std::uint32_t displayId) override
    {
        std::lock_guard guard(lock_);
        if (auto it = entries_.find(displayId); it != entries_.end()) {
            std::vector<DisplayModeInfo> modes;
            std::uint32_t modeId = 1;
            for (const auto& setting : it->second.settings.modes) {
                modes.push_back({modeId++, setting.width, setting.height, std::size_t(it->second.width),
                    std::size_t(it->second.height), setting.refreshRate});
            }
            if (modes.empty()) {
                modes.push_back({1, std::size_t(it->second.width), std::size_t(it->second.height),
                    std::size_t(it->second.width), std::size_t(it->second.height), 60.0});
            }
            return modes;
        }
        auto rect = x_->displayRect(displayId);
        if (!rect) return std::nullopt;
        return std::vector<DisplayModeInfo>{{1, std::size_t(rect->width), std::size_t(rect->height),
            std::size_t(rect->width), std::size_t(rect->height), 60.0}};
    }

    // A mode of ours lays the display out at its size in points; the
    // desktop's own displays keep theirs.
    std::int32_t setDisplayMode(std::uint32_t displayId, const DisplayModeInfo& mode) override
    {
        auto modes = copyAllDisplayModes(displayId);
        if (!modes) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        auto offered = std::find_if(modes->begin(), modes->end(), [&](auto& m) { return m.modeId == mode.modeId; });
        if (offered == modes->end()) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        std::lock_guard guard(lock_);
        auto it = entries_.find(displayId);
        if (it == entries_.end()) return 0;
        Entry& entry = it->second;
        const int width = int(offered->width);
        const int height = int(offered->height);
        if (width == entry.layoutWidth && height == entry.layoutHeight) return 0;
        X11Display::Lock hold(*x_);
        adoptUserLayout(); // before our own change of it
        if (entry.shown && !resizeShown(entry, width, height)) return DISPLAY_ERROR_CANNOT_COMPLETE;
        entry.layoutWidth = width;
        entry.layoutHeight = height;
        log(LogLevel::info, fmt::format("[VirtualDisplay] {} laid out at {}x{} for its {}x{} pixels", entry.name,
                                width, height, entry.width, entry.height));
        return 0;
    }

    std::vector<std::uint32_t> onlineDisplays(std::size_t maxDisplays) override
    {
        std::vector<std::uint32_t> ids;
        {
            X11Display::Lock hold(*x_);
            XRRScreenResources* resources = XRRGetScreenResourcesCurrent(x_->display(), x_->root());
            if (resources) {
                const RROutput primary = XRRGetOutputPrimary(x_->display(), x_->root());
                for (int i = 0; i < resources->noutput; ++i) {
                    XRROutputInfo* output = XRRGetOutputInfo(x_->display(), resources, resources->outputs[i]);
                    if (output && output->crtc) {
                        // The primary first, as the desktop orders its displays.
                        if (resources->outputs[i] == primary) {
                            ids.insert(ids.begin(), std::uint32_t(resources->outputs[i]));
                        } else {
                            ids.push_back(std::uint32_t(resources->outputs[i]));
                        }
                    }
                    if (output) XRRFreeOutputInfo(output);
                }
                XRRFreeScreenResources(resources);
            }
        }
        std::lock_guard guard(lock_);
        for (const auto& [id, entry] : entries_) {
            if (!entry.viaOutput) ids.push_back(id);
        }
        if (ids.size() > maxDisplays) ids.resize(maxDisplays);
        return ids;
    }

    // A laptop panel (eDP, LVDS, DSI); on a desktop without one, the primary
    // output plays its part.
    bool isBuiltIn(std::uint32_t displayId) override
    {
        {
            std::lock_guard guard(lock_);
            if (entries_.contains(displayId)) return false;
        }
        X11Display::Lock hold(*x_);
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(x_->display(), x_->root());
        if (!resources) return false;
        RROutput panel = 0;
        RROutput firstLit = 0;
        for (int i = 0; i < resources->noutput; ++i) {
            XRROutputInfo* output = XRRGetOutputInfo(x_->display(), resources, resources->outputs[i]);
            if (!output) continue;
            if (output->crtc && !hasPrefix(output->name)) {
                if (!panel && isBuiltInName(output->name)) panel = resources->outputs[i];
                if (!firstLit) firstLit = resources->outputs[i];
            }
            XRRFreeOutputInfo(output);
        }
        XRRFreeScreenResources(resources);
        if (!panel) {
            const RROutput primary = XRRGetOutputPrimary(x_->display(), x_->root());
            panel = primary ? primary : firstLit;
        }
        return panel != 0 && panel == displayId;
    }

    std::unique_ptr<DisplayConfiguration> beginConfiguration() override;

    // Mirroring: the display's area leaves the desktop and its picture
    // becomes the primary's; ending it puts the area back.
    std::int32_t setMirroring(std::uint32_t displayId, bool mirroring)
    {
        std::lock_guard guard(lock_);
        auto it = entries_.find(displayId);
        if (it == entries_.end()) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        Entry& entry = it->second;
        X11Display::Lock hold(*x_);
        adoptUserLayout(); // before our own change of it
        if (mirroring && entry.shown) {
            hide(entry);
            restoreScreenSize();
        } else if (!mirroring && !entry.shown) {
            if (!show(entry)) return DISPLAY_ERROR_CANNOT_COMPLETE;
        }
        x_->setVirtualRect(displayId, entry.rect, mirroring, entry.viaOutput ? entry.output : 0);
        return 0;
    }

    std::vector<std::uint32_t> virtualIds()
    {
        std::lock_guard guard(lock_);
        std::vector<std::uint32_t> ids;
        for (const auto& [id, entry] : entries_) ids.push_back(id);
        return ids;
    }

    bool applySettings(std::uint32_t displayId, const VirtualDisplaySettings& settings)
    {
        std::lock_guard guard(lock_);
        auto it = entries_.find(displayId);
        if (it == entries_.end()) return false;
        for (const auto& mode : settings.modes) {
            const std::uint32_t scale = settings.hiDPI ? 2 : 1;
            if (mode.width == 0 || mode.height == 0 || mode.width * scale > std::uint32_t(it->second.width)
                || mode.height * scale > std::uint32_t(it->second.height)) {
                return false;
            }
        }
        it->second.settings = settings;
        return true;
    }

    void remove(std::uint32_t displayId)
    {
        std::lock_guard guard(lock_);
        auto it = entries_.find(displayId);
        if (it == entries_.end()) return;
        X11Display::Lock hold(*x_);
        adoptUserLayout(); // before our own change of it
        hide(it->second);
        x_->setVirtualRect(displayId, std::nullopt, false);
        log(LogLevel::info, fmt::format("[VirtualDisplay] Removed {}", it->second.name));
        entries_.erase(it);
        restoreScreenSize();
    }

    // The modes and monitors a previous run left behind (their names carry
    // our prefix) go, and the outputs showing them go dark.
    int removeLeftovers() override
    {
        std::lock_guard guard(lock_);
        X11Display::Lock hold(*x_);
        Display* display = x_->display();
        int removed = 0;
        x_->trapErrors([&] {
            if (x_->randrMajor > 1 || (x_->randrMajor == 1 && x_->randrMinor >= 5)) {
                int count = 0;
                XRRMonitorInfo* monitors = XRRGetMonitors(display, x_->root(), False, &count);
                for (int i = 0; monitors && i < count; ++i) {
                    char* name = XGetAtomName(display, monitors[i].name);
                    if (hasPrefix(name)) {
                        XRRDeleteMonitor(display, x_->root(), monitors[i].name);
                        ++removed;
                    }
                    if (name) XFree(name);
                }
                if (monitors) XRRFreeMonitors(monitors);
            }
            XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, x_->root());
            if (!resources) return;
            for (int m = 0; m < resources->nmode; ++m) {
                if (!hasPrefix(resources->modes[m].name)) continue;
                const RRMode mode = resources->modes[m].id;
                for (int c = 0; c < resources->ncrtc; ++c) {
                    XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[c]);
                    if (crtc && crtc->mode == mode) {
                        XRRSetCrtcConfig(display, resources, resources->crtcs[c], CurrentTime, 0, 0, None,
                            RR_Rotate_0, nullptr, 0);
                    }
                    if (crtc) XRRFreeCrtcInfo(crtc);
                }
                for (int o = 0; o < resources->noutput; ++o) {
                    XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[o]);
                    if (output && std::find(output->modes, output->modes + output->nmode, mode)
                            != output->modes + output->nmode) {
                        XRRDeleteOutputMode(display, resources->outputs[o], mode);
                    }
                    if (output) XRRFreeOutputInfo(output);
                }
                XRRDestroyMode(display, mode);
                ++removed;
            }
            XRRFreeScreenResources(resources);
        });
        if (removed == 0) return 0;
        // The screen shrinks back to what the lit outputs show.
        const Rect bounds = litBounds(display, x_->root());
        const Rect current = rootSize(display, x_->root());
        if (bounds.width > 0 && bounds.height > 0 && (bounds.width != current.width || bounds.height != current.height)) {
            x_->trapErrors([&] {
                XRRSetScreenSize(display, x_->root(), bounds.width, bounds.height, millimetres(bounds.width),
                    millimetres(bounds.height));
            });
        }
        log(LogLevel::info, fmt::format("[VirtualDisplay] Removed {} leftover mode(s)/monitor(s) of an earlier run; "
                                        "screen {}x{}",
                                removed, bounds.width, bounds.height));
        return removed;
    }

    void removeAll()
    {
        for (std::uint32_t id : virtualIds()) remove(id);
    }

private:
    bool randr15() const { return x_->randrMajor > 1 || (x_->randrMajor == 1 && x_->randrMinor >= 5); }

    // Where the next display goes: right of everything on the desktop, level
    // with the primary's top.
    Rect placement(const Entry& entry)
    {
        const Rect screen = rootSize(x_->display(), x_->root());
        int right = litBounds(x_->display(), x_->root()).width;
        for (const auto& [id, other] : entries_) {
            // A lit output of ours is among the lit bounds, wherever the user moved it.
            if (other.shown && !other.viaOutput && &other != &entry) {
                right = std::max(right, other.rect.x + other.rect.width);
            }
        }
        if (right <= 0) right = screen.width;
        const auto primary = x_->primaryRect();
        return {right, primary ? primary->y : 0, entry.layoutWidth, entry.layoutHeight};
    }

    // The bounding box of the outputs that are not ours.
    Rect userBounds()
    {
        std::vector<RROutput> ours;
        for (const auto& [id, entry] : entries_) {
            if (entry.viaOutput) ours.push_back(entry.output);
        }
        return litBounds(x_->display(), x_->root(), ours);
    }

    // A screen size other than the one we last set or found, or the user's
    // outputs moved or resized: the user changed the layout since (xrandr,
    // the desktop's settings), and the size the screen returns to when our
    // displays go is then the user's, not the one from before.
    void adoptUserLayout()
    {
        if (!lastSize_) return;
        const Rect current = rootSize(x_->display(), x_->root());
        const Rect theirs = userBounds();
        if (current == *lastSize_ && theirs == userBounds_) return;
        // While a display of ours has area on the screen, the screen's size
        // is partly ours: the user's outputs alone say what is theirs.
        const bool anyShown =
            std::any_of(entries_.begin(), entries_.end(), [](const auto& e) { return e.second.shown; });
        Rect size = current;
        if (anyShown) size = theirs.width > 0 && theirs.height > 0 ? theirs : *originalSize_;
        log(LogLevel::info, fmt::format("[VirtualDisplay] The layout changed under us (screen {}x{}): the screen "
                                        "returns to {}x{} when our displays go",
                                current.width, current.height, size.width, size.height));
        originalSize_ = size;
        lastSize_ = current;
        userBounds_ = theirs;
    }

    void setScreenSize(int width, int height)
    {
        x_->trapErrors([&] {
            XRRSetScreenSize(x_->display(), x_->root(), width, height, millimetres(width), millimetres(height));
        });
        lastSize_ = rootSize(x_->display(), x_->root());
    }

    bool growScreenFor(const Rect& rect)
    {
        adoptUserLayout();
        const Rect screen = rootSize(x_->display(), x_->root());
        const int width = std::max(screen.width, rect.x + rect.width);
        const int height = std::max(screen.height, rect.y + rect.height);
        if (width == screen.width && height == screen.height) return true;
        int minW = 0, minH = 0, maxW = 0, maxH = 0;
        XRRGetScreenSizeRange(x_->display(), x_->root(), &minW, &minH, &maxW, &maxH);
        if (width > maxW || height > maxH) {
            log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: screen {}x{} exceeds the X server's maximum "
                                            "{}x{}",
                                    width, height, maxW, maxH));
            return false;
        }
        setScreenSize(width, height);
        const Rect now = rootSize(x_->display(), x_->root());
        return now.width == width && now.height == height;
    }

    // The screen size back to where it was before our first display, or
    // what the displays still shown need.
    void restoreScreenSize()
    {
        if (!originalSize_) return;
        adoptUserLayout();
        Rect wanted = *originalSize_;
        const Rect lit = litBounds(x_->display(), x_->root());
        wanted.width = std::max(wanted.width, lit.width);
        wanted.height = std::max(wanted.height, lit.height);
        for (const auto& [id, entry] : entries_) {
            // A lit output of ours is in `lit`, where the user may have moved it.
            if (!entry.shown || entry.viaOutput) continue;
            wanted.width = std::max(wanted.width, entry.rect.x + entry.rect.width);
            wanted.height = std::max(wanted.height, entry.rect.y + entry.rect.height);
        }
        const Rect current = rootSize(x_->display(), x_->root());
        if (wanted.width == current.width && wanted.height == current.height) return;
        setScreenSize(wanted.width, wanted.height);
    }

    // A mode of ours of `width` x `height` at 60 Hz, added to `output`; 0
    // when the server refused. Under the display's lock, errors trapped.
    RRMode createMode(const Entry& entry, RROutput output, int width, int height)
    {
        std::string name = fmt::format("{}{}x{}-{}", OBJECT_PREFIX, width, height, entry.serial);
        XRRModeInfo info{};
        info.width = unsigned(width);
        info.height = unsigned(height);
        info.hSyncStart = info.width + 48;
        info.hSyncEnd = info.width + 80;
        info.hTotal = info.width + 160;
        info.vSyncStart = info.height + 3;
        info.vSyncEnd = info.height + 9;
        info.vTotal = info.height + 40;
        info.dotClock = static_cast<unsigned long>(info.hTotal) * info.vTotal * 60;
        info.name = name.data();
        info.nameLength = unsigned(name.size());
        const RRMode mode = XRRCreateMode(x_->display(), x_->root(), &info);
        if (mode) XRRAddOutputMode(x_->display(), output, mode);
        return mode;
    }

    // Declares monitor `name` over `rect` (no output of its own). Under the
    // display's lock, errors trapped by the caller.
    void setMonitor(Atom name, const Rect& rect)
    {
        XRRMonitorInfo* monitor = XRRAllocateMonitor(x_->display(), 0);
        monitor->name = name;
        monitor->primary = False;
        monitor->automatic = False;
        monitor->x = rect.x;
        monitor->y = rect.y;
        monitor->width = rect.width;
        monitor->height = rect.height;
        monitor->mwidth = millimetres(rect.width);
        monitor->mheight = millimetres(rect.height);
        XRRSetMonitor(x_->display(), x_->root(), monitor);
        XRRFreeMonitors(monitor);
    }

    // A shown display takes a new size where it is (the user may have
    // moved it): its output a mode of that size, or its monitor that
    // rectangle; the screen grows or shrinks to fit.
    bool resizeShown(Entry& entry, int width, int height)
    {
        Display* display = x_->display();
        const std::uint32_t id = entry.viaOutput ? std::uint32_t(entry.output) : std::uint32_t(entry.monitor);
        if (!entry.viaOutput) {
            const Rect rect{entry.rect.x, entry.rect.y, width, height};
            if (!growScreenFor(rect)) return false;
            const int error = x_->trapErrors([&] {
                // The server keeps a monitor's name unique: the old one goes first.
                XRRDeleteMonitor(display, x_->root(), entry.monitor);
                setMonitor(entry.monitor, rect);
            });
            if (error != 0) return restoreScreenSize(), false;
            entry.rect = rect;
            restoreScreenSize();
            x_->setVirtualRect(id, entry.rect, false, 0);
            return true;
        }
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, x_->root());
        if (!resources) return false;
        XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, entry.crtc);
        bool done = false;
        if (crtc && crtc->mode == entry.mode) {
            const Rect rect{crtc->x, crtc->y, width, height};
            RRMode mode = 0;
            int error = x_->trapErrors([&] { mode = createMode(entry, entry.output, width, height); });
            if (error == 0 && mode && growScreenFor(rect)) {
                RROutput outputs[] = {entry.output};
                Status status = RRSetConfigSuccess;
                error = x_->trapErrors([&] {
                    status = XRRSetCrtcConfig(display, resources, entry.crtc, CurrentTime, rect.x, rect.y, mode,
                        crtc->rotation, outputs, 1);
                });
                done = error == 0 && status == RRSetConfigSuccess;
            }
            const RRMode unused = done ? entry.mode : mode;
            x_->trapErrors([&] {
                if (!unused) return;
                XRRDeleteOutputMode(display, entry.output, unused);
                XRRDestroyMode(display, unused);
            });
            if (done) {
                entry.mode = mode;
                entry.rect = rect;
            }
            restoreScreenSize();
        }
        if (crtc) XRRFreeCrtcInfo(crtc);
        XRRFreeScreenResources(resources);
        return done;
    }

    bool showOnOutput(Entry& entry)
    {
        Display* display = x_->display();
        XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, x_->root());
        if (!resources) return false;
        const RROutput primary = XRRGetOutputPrimary(display, x_->root());
        bool done = false;
        for (int o = 0; o < resources->noutput && !done; ++o) {
            XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[o]);
            if (!output) continue;
            RRCrtc freeCrtc = 0;
            // A display that had an output keeps it; otherwise any dark
            // output without a monitor (disconnected), or a virtual
            // connector, which some drivers report connected once used.
            const std::string_view name(output->name, std::size_t(output->nameLen));
            const bool candidate = entry.output ? resources->outputs[o] == entry.output
                                                : output->connection == RR_Disconnected
                    || name.starts_with("VIRTUAL") || name.starts_with("DUMMY");
            // An output another of our displays holds (lit, or dark while
            // that display mirrors) is never shared.
            bool held = false;
            for (const auto& [id, other] : entries_) {
                if (&other != &entry && other.output == resources->outputs[o]) held = true;
            }
            if (candidate && !held && !output->crtc && resources->outputs[o] != primary) {
                for (int c = 0; c < output->ncrtc && !freeCrtc; ++c) {
                    XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, output->crtcs[c]);
                    if (crtc && crtc->mode == None && crtc->noutput == 0) freeCrtc = output->crtcs[c];
                    if (crtc) XRRFreeCrtcInfo(crtc);
                }
            }
            XRRFreeOutputInfo(output);
            if (!freeCrtc) continue;

            const RROutput outputId = resources->outputs[o];
            RRMode mode = 0;
            const Rect rect = placement(entry);
            int error = x_->trapErrors([&] { mode = createMode(entry, outputId, rect.width, rect.height); });
            if (error == 0 && mode && growScreenFor(rect)) {
                RROutput outputs[] = {outputId};
                Status status = RRSetConfigSuccess;
                error = x_->trapErrors([&] {
                    status = XRRSetCrtcConfig(display, resources, freeCrtc, CurrentTime, rect.x, rect.y, mode,
                        RR_Rotate_0, outputs, 1);
                });
                if (error == 0 && status == RRSetConfigSuccess) {
                    entry.viaOutput = true;
                    entry.output = outputId;
                    entry.crtc = freeCrtc;
                    entry.mode = mode;
                    entry.rect = rect;
                    done = true;
                    break;
                }
            }
            // This output refused: undo and try the next.
            x_->trapErrors([&] {
                if (mode) {
                    XRRDeleteOutputMode(display, outputId, mode);
                    XRRDestroyMode(display, mode);
                }
            });
            restoreScreenSize();
        }
        XRRFreeScreenResources(resources);
        return done;
    }

    bool showAsMonitor(Entry& entry)
    {
        if (!randr15()) return false;
        Display* display = x_->display();
        const Rect rect = placement(entry);
        if (!growScreenFor(rect)) return false;
        const Atom name = XInternAtom(display, entry.name.c_str(), False);
        const int error = x_->trapErrors([&] { setMonitor(name, rect); });
        if (error != 0) {
            restoreScreenSize();
            return false;
        }
        entry.viaOutput = false;
        entry.monitor = name;
        entry.rect = rect;
        return true;
    }

    bool show(Entry& entry)
    {
        const bool first = entry.output == 0 && entry.monitor == 0;
        bool shown = false;
        if ((first && !monitorsOnly_) || entry.viaOutput) shown = showOnOutput(entry);
        // A display whose output was taken meanwhile still gets a monitor;
        // its id stays what it was.
        if (!shown) shown = showAsMonitor(entry);
        if (!shown) {
            log(LogLevel::warn, fmt::format("[VirtualDisplay] WARNING: no output or monitor could show {}x{}",
                                    entry.layoutWidth, entry.layoutHeight));
        }
        entry.shown = shown;
        return shown;
    }

    void hide(Entry& entry)
    {
        if (!entry.shown) return;
        Display* display = x_->display();
        x_->trapErrors([&] {
            if (entry.viaOutput) {
                // The CRTC is turned off only while it still shows our mode:
                // the user may have turned our output off and used it since.
                XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, x_->root());
                if (resources) {
                    XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, entry.crtc);
                    if (crtc && crtc->mode == entry.mode) {
                        XRRSetCrtcConfig(display, resources, entry.crtc, CurrentTime, 0, 0, None, RR_Rotate_0,
                            nullptr, 0);
                    }
                    // The user made ours the primary: the desktop is not left
                    // without one, the user's own primary has it back.
                    if (userPrimary_ && XRRGetOutputPrimary(display, x_->root()) == entry.output) {
                        XRRSetOutputPrimary(display, x_->root(), userPrimary_);
                    }
                    if (crtc) XRRFreeCrtcInfo(crtc);
                    XRRFreeScreenResources(resources);
                }
                XRRDeleteOutputMode(display, entry.output, entry.mode);
                XRRDestroyMode(display, entry.mode);
                entry.mode = 0;
            } else {
                XRRDeleteMonitor(display, x_->root(), entry.monitor);
            }
        });
        entry.shown = false;
    }

    std::shared_ptr<X11Display> x_;
    const bool monitorsOnly_;
    const bool confirms_;
    std::mutex lock_;
    std::optional<Rect> originalSize_;
    std::optional<Rect> lastSize_;
    Rect userBounds_;
    RROutput userPrimary_ = 0;
    std::map<std::uint32_t, Entry> entries_;
};

X11VirtualDisplay::~X11VirtualDisplay() { owner_->remove(id_); }

bool X11VirtualDisplay::applySettings(const VirtualDisplaySettings& settings)
{
    return owner_->applySettings(id_, settings);
}

namespace {

// One configuration transaction: the mirror changes are collected and
// applied together by complete().

} // namespace

std::unique_ptr<DisplayConfiguration> X11VirtualDisplays::beginConfiguration()
{
    std::weak_ptr<X11VirtualDisplays> weak = shared_from_this();
    return std::make_unique<OwnDisplayMirroring>(
        [weak] {
            auto self = weak.lock();
            return self ? self->virtualIds() : std::vector<std::uint32_t>{};
        },
        [weak](std::uint32_t id, bool mirroring) {
            auto self = weak.lock();
            return self ? self->setMirroring(id, mirroring) : DISPLAY_ERROR_CANNOT_COMPLETE;
        });
}

std::shared_ptr<VirtualDisplays> makeX11VirtualDisplays(const std::shared_ptr<X11Display>& x,
    std::function<void()>& removeAll)
{
    // QUILLBRIGHT_X11_VIRTUAL_DISPLAY=monitor skips the outputs (a driver
    // whose spare outputs misbehave); anything else tries them first.
    const char* method = std::getenv("QUILLBRIGHT_X11_VIRTUAL_DISPLAY");
    // Tests of the waits on a desktop that cannot confirm its changes set
    // QUILLBRIGHT_TEST_X11_UNCONFIRMED_DISPLAYS: each wait then lasts its limit.
    const char* unconfirmed = std::getenv("QUILLBRIGHT_TEST_X11_UNCONFIRMED_DISPLAYS");
    auto displays = std::make_shared<X11VirtualDisplays>(x, method && std::string_view(method) == "monitor",
        !(unconfirmed && *unconfirmed));
    std::weak_ptr<X11VirtualDisplays> weak = displays;
    removeAll = [weak] {
        if (auto self = weak.lock()) self->removeAll();
    };
    return displays;
}

} // namespace qb::x11
