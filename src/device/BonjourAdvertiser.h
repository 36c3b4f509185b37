// Announces this host to companion applications on the local network as a
// DNS-SD service of type "_quillbright._tcp." under the computer's name (or
// "QuillBright"), with the frame port, the input port and the version in its
// TXT record ("videoPort", "inputPort", "version").
//
// start() is idempotent while advertising; a publication failure or a
// withdrawal by the system makes the advertiser idle again, and the next
// start() publishes anew.
//
// Threads: start(), stop() and the DnsSd handlers run on the DnsSd's executor
// (the main loop).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/DnsSd.h"

#include "config/Ports.h"
#include "config/Version.h"

namespace qb {

class BonjourAdvertiser : public std::enable_shared_from_this<BonjourAdvertiser> {
public:
    static constexpr std::string_view SERVICE_TYPE = "_quillbright._tcp.";

    static std::shared_ptr<BonjourAdvertiser> make(std::shared_ptr<DnsSd> dnsSd);

    void start(std::uint16_t port);
    void stop();
    bool isAdvertising() const { return isAdvertising_; }

private:
    explicit BonjourAdvertiser(std::shared_ptr<DnsSd> dnsSd) : dnsSd_(std::move(dnsSd)) {}

    void published(const std::string& name, std::uint16_t port);
    void notPublished(const std::string& error);
    void stopped();

    std::shared_ptr<DnsSd> dnsSd_;
    std::shared_ptr<DnsSdOperation> service_;
    bool isAdvertising_ = false;
};

} // namespace qb
