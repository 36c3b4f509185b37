// A mirrored desktop of another aspect stays legible on the tablet: shapes keep
// their proportions, thin strokes survive the scaling, and a touch lands on
// the desktop pixel the tablet shows under the finger.
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "platform/MirrorScaler.h"

namespace qb {
namespace {

struct Picture {
    std::size_t width, height;
    std::vector<std::uint8_t> bgra;
    Picture(std::size_t w, std::size_t h) : width(w), height(h), bgra(w * h * 4, 0xFF) {}
    void dot(std::size_t x, std::size_t y) { std::fill_n(&bgra[(y * width + x) * 4], 3, std::uint8_t(0)); }
    std::uint8_t grey(std::size_t x, std::size_t y) const { return bgra[(y * width + x) * 4 + 1]; }
};

Picture scaled(const Picture& source, std::size_t width, std::size_t height)
{
    Picture target(width, height);
    MirrorScaler scaler;
    scaler.scale(source.bgra.data(), source.width, source.height, source.width * 4, target.bgra.data(), width,
        height);
    return target;
}

TEST(MirrorScalerTest, ACircleStaysRoundAndTheBarsAreBlack)
{
    // 16:9 desktop onto a 4:3 tablet, and onto a portrait one.
    Picture desktop(1920, 1080);
    for (std::size_t y = 0; y < 1080; ++y) {
        for (std::size_t x = 0; x < 1920; ++x) {
            if (std::hypot(double(x) - 960, double(y) - 540) < 400) desktop.dot(x, y);
        }
    }
    for (auto [width, height] : {std::pair<std::size_t, std::size_t>{1600, 1200}, {1200, 1600}}) {
        const Picture tablet = scaled(desktop, width, height);
        const ScaledArea area = letterbox(1920, 1080, width, height);
        EXPECT_EQ(area.width, width);
        EXPECT_EQ(area.height, width * 9 / 16);
        std::size_t left = width, right = 0, top = height, bottom = 0;
        for (std::size_t y = area.y; y < area.y + area.height; ++y) {
            for (std::size_t x = 0; x < width; ++x) {
                if (tablet.grey(x, y) >= 128) continue;
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
        }
        EXPECT_NEAR(double(right - left), double(bottom - top), 2.0) << width << "x" << height;
        EXPECT_NEAR(double(right - left + 1), 800.0 * double(width) / 1920, 2.0);
        for (std::size_t x = 0; x < width; x += 97) {
            EXPECT_EQ(tablet.grey(x, 0), 0);
            EXPECT_EQ(tablet.grey(x, height - 1), 0);
            EXPECT_EQ(tablet.grey(x, area.y + 1), 0xFF) << "the picture starts below the bar";
        }
    }
}

TEST(MirrorScalerTest, EveryOnePixelStrokeSurvivesADownscale)
{
    // Strokes one pixel wide at every phase against the target grid (what thin
    // letters are made of): nearest-pixel sampling drops about one in six.
    Picture desktop(1920, 1080);
    std::vector<std::size_t> columns;
    for (std::size_t x = 3; x < 1917; x += 7) {
        columns.push_back(x);
        for (std::size_t y = 100; y < 200; ++y) desktop.dot(x, y);
    }
    const Picture tablet = scaled(desktop, 1600, 1200);
    const ScaledArea area = letterbox(1920, 1080, 1600, 1200);
    const std::size_t row = area.y + 150 * area.height / 1080;
    for (std::size_t x : columns) {
        const std::size_t centre = x * area.width / 1920;
        std::uint8_t darkest = 0xFF;
        for (std::size_t c = centre ? centre - 1 : 0; c <= std::min(centre + 1, area.width - 1); ++c) {
            darkest = std::min(darkest, tablet.grey(area.x + c, row));
        }
        EXPECT_LT(darkest, 160) << "stroke at column " << x << " vanished";
    }
    // An exact enlargement repeats pixels unchanged.
    Picture small(4, 3);
    small.dot(1, 2);
    const Picture big = scaled(small, 8, 6);
    EXPECT_EQ(big.grey(2, 4), 0);
    EXPECT_EQ(big.grey(3, 5), 0);
    EXPECT_EQ(big.grey(1, 4), 0xFF);
    EXPECT_EQ(big.grey(4, 4), 0xFF);
}

TEST(MirrorScalerTest, AHalfSizePictureIsDoubledPixelForPixelAndOnlyWhereItChanged)
{
    // 13 x 5 BGRA pixels, every byte different, rows padded to 60 bytes.
    const std::size_t w = 13, h = 5, stride = 60;
    std::vector<std::uint8_t> picture(stride * h);
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = std::uint8_t(i * 7 + 1);
    auto doubled = [&](const RequestSizedSurface& surface, std::size_t x, std::size_t y) {
        return std::vector<std::uint8_t>(surface.lockReadOnly() + y * surface.bytesPerRow() + x * 4,
            surface.lockReadOnly() + y * surface.bytesPerRow() + x * 4 + 4);
    };
    auto source = [&](std::size_t x, std::size_t y) {
        return std::vector<std::uint8_t>(&picture[y * stride + x * 4], &picture[y * stride + x * 4 + 4]);
    };
    auto reproduces = [&](const RequestSizedSurface& surface) {
        for (std::size_t y = 0; y < 2 * h; ++y) {
            for (std::size_t x = 0; x < 2 * w; ++x) {
                if (doubled(surface, x, y) != source(x / 2, y / 2)) return false;
            }
        }
        return true;
    };
    RequestSizedSurface surface;
    surface.show(picture.data(), w, h, stride, {{3, 1, 2, 2}}, 2 * w, 2 * h);
    EXPECT_EQ(std::pair(surface.width(), surface.height()), std::pair(2 * w, 2 * h));
    EXPECT_TRUE(reproduces(surface));
    EXPECT_EQ(surface.changedRects(), (std::vector<CaptureRect>{{0, 0, 2 * w, 2 * h}})) << "all of a first picture";

    // A change is its own rectangle, twice over; what did not change stays.
    picture[1 * stride + 3 * 4] = 0xAB;
    picture[4 * stride + 12 * 4 + 2] = 0xCD;
    surface.show(picture.data(), w, h, stride, {{3, 1, 1, 1}, {12, 4, 1, 1}}, 2 * w, 2 * h);
    EXPECT_EQ(surface.changedRects(), (std::vector<CaptureRect>{{6, 2, 2, 2}, {24, 8, 2, 2}}));
    EXPECT_TRUE(reproduces(surface));
    surface.show(picture.data(), w, h, stride, {}, 2 * w, 2 * h, true);
    EXPECT_EQ(surface.changedRects(), (std::vector<CaptureRect>{{0, 0, 2 * w, 2 * h}})) << "a forced frame";
}

TEST(MirrorScalerTest, ATouchLandsOnTheDesktopPixelShownUnderTheFinger)
{
    // The desktop monitor at (1024, 0), 1920x1080, mirrored on a 1600x1200 tablet.
    const auto bounds = mirrorInputBounds(1024, 0, 1920, 1080, 1600, 1200);
    const ScaledArea area = letterbox(1920, 1080, 1600, 1200);
    for (auto [tx, ty] : {std::pair<double, double>{0, 150}, {800, 600}, {1599, 1049}, {37, 701}}) {
        const double globalX = bounds.left + bounds.width * (tx + 0.5) / 1600;
        const double globalY = bounds.top + bounds.height * (ty + 0.5) / 1200;
        const double shownX = 1024 + (tx + 0.5 - double(area.x)) * 1920 / double(area.width);
        const double shownY = (ty + 0.5 - double(area.y)) * 1080 / double(area.height);
        EXPECT_NEAR(globalX, shownX, 1.0);
        EXPECT_NEAR(globalY, shownY, 1.0);
    }
    // A touch on a bar lands off the mirrored monitor.
    EXPECT_LT(bounds.top + bounds.height * 0.01, 0);
    // The same aspect: the monitor's own rectangle.
    const auto same = mirrorInputBounds(0, 0, 1024, 768, 1600, 1200);
    EXPECT_DOUBLE_EQ(same.width, 1024);
    EXPECT_DOUBLE_EQ(same.height, 768);
    EXPECT_DOUBLE_EQ(same.top, 0);
}

} // namespace
} // namespace qb
