// StatePublisher: the engine's one published EngineState and the observers
// told of each change. A field is set through publish(), which tells the
// observers only when the value changed, naming the field. Main loop only.
//
// Held by a std::shared_ptr: the units that publish on the engine's behalf
// (the front light's read-back, the update check) hold it weakly and do
// nothing once it is gone.
#pragma once

#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "config/EngineState.h"

namespace qb {

class StatePublisher {
public:
    // Told the new state and the field that changed.
    using Observer = std::function<void(const EngineState& state, EngineProperty changed)>;

    const EngineState& state() const { return state_; }
    // The initial values, before anyone observes.
    EngineState& initial() { return state_; }

    // (`Owner`: EngineState or the part of it that holds the field.)
    template <class T, class Owner>
    void publish(T Owner::*field, std::type_identity_t<T> value, EngineProperty property)
    {
        if (state_.*field == value) return;
        state_.*field = std::move(value);
        notify(property);
    }
    // Sets the fields that make up `property` together (a text and its
    // cause), then tells the observers once.
    template <class Edit>
    void update(EngineProperty property, Edit edit)
    {
        edit(state_);
        notify(property);
    }
    // Tells the observers that `property` changed (also for `sessions`,
    // which the state does not hold).
    void notify(EngineProperty property);

    int addObserver(Observer observer);
    void removeObserver(int id);

private:
    EngineState state_;
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserverId_ = 1;
};

} // namespace qb
