// Display capture on GNOME Wayland: each display's PipeWire stream pushes a
// picture (with Mutter's damage regions when it sends them) whenever the
// picture, pointer included, changed, so a still screen costs nothing. A
// capture of another size than the virtual monitor renegotiates the
// monitor's size; a mirrored primary of another size is scaled.

#include "platform/PushedCapture.h"
#include "platform/gnome/GnomePlatform.h"

namespace qb::gnome {

namespace {

class GnomeFrameSource final : public FrameSource {
public:
    explicit GnomeFrameSource(std::shared_ptr<GnomeDesktop> desktop) : desktop_(std::move(desktop)) {}

    std::optional<std::pair<std::size_t, std::size_t>> pictureSize(std::uint32_t displayId) override
    {
        auto where = desktop_->placement(displayId);
        if (!where) return std::nullopt;
        return std::pair<std::size_t, std::size_t>(where->width, where->height);
    }
    void fit(std::uint32_t displayId, std::size_t width, std::size_t height) override
    {
        desktop_->resize(displayId, std::uint32_t(width), std::uint32_t(height));
    }
    bool attach(const CaptureStreamRequest& request, std::shared_ptr<FrameSink> sink) override
    {
        return desktop_->attach(request.displayId, std::move(sink));
    }
    void detach(std::uint32_t displayId, const FrameSink* sink) override { desktop_->detach(displayId, sink); }

private:
    std::shared_ptr<GnomeDesktop> desktop_;
};

} // namespace

std::shared_ptr<CaptureBackend> makeGnomeCaptureBackend(const std::shared_ptr<GnomeDesktop>& desktop)
{
    return makePushedCaptureBackend(std::make_shared<GnomeFrameSource>(desktop),
        {"PipeWire screen-cast stream",
            "The desktop does not let QuillBright record the screen: run it inside your GNOME session.",
            "The desktop offers no picture of this display — it may be offline."});
}

} // namespace qb::gnome
