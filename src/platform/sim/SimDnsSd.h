// In-memory DNS-SD for tests and demos: a simulated network of services that
// the test adds and removes, browses that see them come and go, resolutions
// answered from the records (or failing at their time limit when a record
// never answers), and publications recorded for inspection.
//
// Handlers are posted to the executor, like the real backend's. The control
// members (addService, ...) may be called from any thread.
#pragma once

#include <mutex>

#include "platform/DnsSd.h"

namespace qb {

class SimDnsSd final : public DnsSd, public std::enable_shared_from_this<SimDnsSd> {
public:
    struct Record {
        // Numeric addresses; absent: the resolution yields no address list.
        std::optional<std::vector<std::string>> addresses;
        std::uint16_t port = 0;
        std::optional<std::string> resolveError; // fail at once with this text
        bool answers = true;                     // false: never answers (time limit)
    };

    explicit SimDnsSd(Executor executor);
    ~SimDnsSd() override;

    Executor executor() const override { return executor_; }
    std::shared_ptr<DnsSdOperation> browse(const std::string& type, const std::string& domain,
        BrowseHandlers handlers) override;
    std::shared_ptr<DnsSdOperation> resolve(const DnsSdService& service, Duration timeout,
        ResolveHandlers handlers) override;
    std::shared_ptr<DnsSdOperation> publish(const DnsSdRegistration& registration, PublishHandlers handlers) override;
    std::optional<std::string> computerName() const override;

    // The simulated network.
    void addService(const DnsSdService& service, Record record);
    void removeService(const DnsSdService& service);
    void failBrowses(const std::string& error);
    void failNextPublish(const std::string& error);
    void withdrawPublications(); // the system stops every published service
    void setComputerName(std::optional<std::string> name);

    // What the components did.
    std::vector<DnsSdRegistration> publications() const; // every publish, in order
    size_t activePublications() const;
    size_t activeBrowses() const;
    size_t resolutionsStarted() const;

private:
    struct Operation;
    void deliver(const std::shared_ptr<Operation>& op, std::function<void()> fn);
    std::vector<std::shared_ptr<Operation>> live(int kind) const;

    Executor executor_;
    mutable std::mutex lock_;
    std::vector<std::pair<DnsSdService, Record>> services_;
    std::vector<std::weak_ptr<Operation>> operations_;
    std::vector<DnsSdRegistration> publications_;
    std::optional<std::string> nextPublishError_;
    std::optional<std::string> computerName_;
    size_t resolutions_ = 0;
};

} // namespace qb
