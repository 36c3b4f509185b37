// The control socket the command line talks to: started once by activate(),
// stopped when the engine goes. The implementation (control/) holds the
// engine weakly and interprets requests on the main loop. No-op by default.
#pragma once

namespace qb {

class ControlServer {
public:
    virtual ~ControlServer() = default;
    virtual void start() {}
    virtual void stop() {}
};

} // namespace qb
