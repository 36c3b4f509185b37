// The mirroring configuration of a backend whose virtual displays mirror by
// showing the primary's picture themselves (X11 outputs, Mutter's virtual
// monitors): "the built-in display mirrors ours" and "ours mirrors the
// built-in" both come down to our display showing the primary's picture,
// and un-mirroring the built-in display un-mirrors all of ours.
//
// Changes are collected by configureMirror() and applied in order by
// complete(); the first error is reported, and the rest still applied.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "platform/VirtualDisplays.h"

namespace qb {

class OwnDisplayMirroring final : public DisplayConfiguration {
public:
    // `ours`: the ids of our virtual displays now; `setMirroring`: shows (or
    // stops showing) the primary's picture on one of them, 0 on success.
    OwnDisplayMirroring(std::function<std::vector<std::uint32_t>()> ours,
        std::function<std::int32_t(std::uint32_t, bool)> setMirroring)
        : ours_(std::move(ours)), setMirroring_(std::move(setMirroring))
    {
    }

    std::int32_t configureMirror(std::uint32_t display, std::uint32_t master) override
    {
        if (done_) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        const auto ours = ours_();
        auto isOurs = [&](std::uint32_t id) { return std::find(ours.begin(), ours.end(), id) != ours.end(); };
        if (master == NULL_DISPLAY_ID) {
            if (isOurs(display)) {
                changes_.emplace_back(display, false);
            } else {
                for (std::uint32_t id : ours) changes_.emplace_back(id, false);
            }
            return 0;
        }
        if (isOurs(master)) {
            changes_.emplace_back(master, true);
            return 0;
        }
        if (isOurs(display)) {
            changes_.emplace_back(display, true);
            return 0;
        }
        return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
    }

    std::int32_t complete(DisplayConfigureOption) override
    {
        if (done_) return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        std::int32_t result = 0;
        for (auto [id, mirroring] : changes_) {
            if (const std::int32_t code = setMirroring_(id, mirroring); code != 0 && result == 0) result = code;
        }
        changes_.clear();
        done_ = true;
        return result;
    }

    void cancel() override
    {
        changes_.clear();
        done_ = true;
    }

private:
    std::function<std::vector<std::uint32_t>()> ours_;
    std::function<std::int32_t(std::uint32_t, bool)> setMirroring_;
    std::vector<std::pair<std::uint32_t, bool>> changes_;
    bool done_ = false;
};

} // namespace qb
