// The one place that pulls in Boost.Asio with the pieces every component uses.
#pragma once

#include <boost/asio.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>

namespace qb {
namespace asio = boost::asio;
using Executor = asio::any_io_executor;
} // namespace qb
