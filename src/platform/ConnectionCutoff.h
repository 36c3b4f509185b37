// Ending a TCP connection from outside the component that owns its socket:
// a listener that handed a connection over closes it later when its peer is
// no longer allowed. The listener knows the connection only by the
// descriptor it was accepted on and its two endpoints; by the time it acts
// the owner may have closed that descriptor and the number may carry
// something else, so the connection is cut only while the descriptor still
// carries exactly those endpoints. Cutting shuts both directions down: the
// owner's next read ends and it closes the socket as for any peer that left.
// Any thread.
#pragma once

#include "runtime/Asio.h"

namespace qb {

// Whether `descriptor` is still the connection accepted with these endpoints.
bool carriesConnection(int descriptor, const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& remote);

// Shuts the connection on `descriptor` down when it still carries these
// endpoints; false when it no longer does.
bool cutConnection(int descriptor, const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& remote);

} // namespace qb
