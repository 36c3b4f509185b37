// The one shape of a component's own coroutine: it holds its owner weakly
// and does nothing once the owner is gone. Spawn it on a TaskGroup:
//
//   tasks_.spawn(ownedTask(weak_from_this(), &Engine::restartNow), "restart");
//   tasks_.spawn(ownedTaskAfter(delay, weak_from_this(), &Engine::wake, ticket), "wake");
//
// ownedTask() runs the member with the owner held for the member's run;
// ownedTaskAfter() first waits `delay` holding the owner weakly (so a
// pending pause never keeps it alive, and a cancelled pause ends the task),
// then does the same. The arguments are copied into the coroutine's frame,
// never referred to. Runs on the executor of the group that spawned it.
#pragma once

#include <memory>
#include <utility>

#include "runtime/Asio.h"
#include "runtime/Timer.h"

namespace qb {

template <class Owner, class... Params, class... Args>
asio::awaitable<void> ownedTask(std::weak_ptr<Owner> weak, asio::awaitable<void> (Owner::*member)(Params...),
    Args... args)
{
    const auto self = weak.lock();
    if (!self) co_return;
    co_await ((*self).*member)(std::move(args)...);
}

template <class Owner, class... Params, class... Args>
asio::awaitable<void> ownedTaskAfter(Duration delay, std::weak_ptr<Owner> weak,
    asio::awaitable<void> (Owner::*member)(Params...), Args... args)
{
    const bool completed = co_await sleepFor(delay);
    if (!completed) co_return;
    const auto self = weak.lock();
    if (!self) co_return;
    co_await ((*self).*member)(std::move(args)...);
}

} // namespace qb
