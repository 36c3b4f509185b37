// The displays a Wayland desktop made for us (Mutter's virtual monitors,
// sway's headless outputs, KWin's virtual outputs), one `Entry` of the
// backend's each, and the ids of the desktop's own outputs by name. Display
// ids and output ids come from one sequence starting at 1, so an id names
// one thing for as long as the desktop lives; an output keeps its id while
// its name stays.
//
// Two locks, taken in this order and never the other way round:
// - oneChange() lets one slow change (a compositor round trip) run at a time;
// - lock() guards the table, and whatever else the owning desktop says it
//   guards with it, while the Locked view lives. It is held briefly, and
//   never across a call out of the desktop.
// ids(), contains(), copy() and take() take the lock themselves.
//
// Threads: any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qb {

template <class Entry>
class VirtualOutputs {
public:
    // The table under its lock (`Table` is const for a const table).
    template <class Table>
    class Locked {
    public:
        explicit Locked(Table& table) : guard_(table.lock_), table_(table) {}

        // Our displays by id, in the order they were made.
        auto& entries() const { return table_.entries_; }
        // Display `id`'s entry; nullptr when the display is not ours.
        auto* find(std::uint32_t id) const
        {
            auto it = table_.entries_.find(id);
            return it == table_.entries_.end() ? nullptr : &it->second;
        }
        // Takes display `id` out of the table; nullopt when it is not ours.
        std::optional<Entry> take(std::uint32_t id) const
        {
            auto it = table_.entries_.find(id);
            if (it == table_.entries_.end()) return std::nullopt;
            std::optional<Entry> taken(std::move(it->second));
            table_.entries_.erase(it);
            return taken;
        }
        // The id for a display about to be made.
        std::uint32_t newId() const { return table_.nextId_++; }
        // The id of the desktop's output `name`, given at its first sight.
        std::uint32_t idFor(const std::string& name) const
        {
            auto [it, added] = table_.names_.emplace(name, table_.nextId_);
            if (added) ++table_.nextId_;
            return it->second;
        }
        // The name of the desktop's output with id `id`; empty when none has it.
        std::string nameOf(std::uint32_t id) const
        {
            for (const auto& [name, known] : table_.names_) {
                if (known == id) return name;
            }
            return "";
        }

    private:
        std::unique_lock<std::mutex> guard_;
        Table& table_;
    };

    [[nodiscard]] std::unique_lock<std::mutex> oneChange() { return std::unique_lock(changeLock_); }
    [[nodiscard]] Locked<VirtualOutputs> lock() { return Locked<VirtualOutputs>(*this); }
    [[nodiscard]] Locked<const VirtualOutputs> lock() const { return Locked<const VirtualOutputs>(*this); }

    // The ids of our displays, in the order they were made.
    std::vector<std::uint32_t> ids() const
    {
        const auto held = lock();
        std::vector<std::uint32_t> ids;
        for (const auto& [id, entry] : held.entries()) ids.push_back(id);
        return ids;
    }
    bool contains(std::uint32_t id) const { return lock().find(id) != nullptr; }
    // A copy of display `id`'s entry; nullopt when the display is not ours.
    std::optional<Entry> copy(std::uint32_t id) const
    {
        const auto held = lock();
        const auto* entry = held.find(id);
        return entry ? std::optional<Entry>(*entry) : std::nullopt;
    }
    std::optional<Entry> take(std::uint32_t id) { return lock().take(id); }

private:
    std::mutex changeLock_;
    mutable std::mutex lock_;
    std::map<std::uint32_t, Entry> entries_;
    std::map<std::string, std::uint32_t> names_;
    std::uint32_t nextId_ = 1;
};

} // namespace qb
