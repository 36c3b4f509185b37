#include "core/StatePublisher.h"

namespace qb {

void StatePublisher::notify(EngineProperty property)
{
    // A copy: an observer may add or remove observers.
    const auto observers = observers_;
    for (const auto& [id, observer] : observers) {
        if (observer) observer(state_, property);
    }
}

int StatePublisher::addObserver(Observer observer)
{
    const int id = nextObserverId_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void StatePublisher::removeObserver(int id)
{
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

} // namespace qb
