#include "platform/sim/SimDnsSd.h"

#include <algorithm>

namespace qb {

namespace {
enum Kind { browsing = 0, resolving = 1, publishing = 2 };
}

struct SimDnsSd::Operation : DnsSdOperation {
    Kind kind = browsing;
    std::atomic<bool> cancelled{false};
    std::string type; // browse: the type watched
    std::string domain;
    DnsSd::BrowseHandlers browse;
    DnsSd::ResolveHandlers resolve;
    DnsSd::PublishHandlers publish;
    std::shared_ptr<Timer> timer;
    void cancel() override
    {
        cancelled = true;
        if (timer) timer->cancel();
    }
    ~Operation() override { cancel(); }
};

SimDnsSd::SimDnsSd(Executor executor) : executor_(std::move(executor)) {}

SimDnsSd::~SimDnsSd() = default;

void SimDnsSd::deliver(const std::shared_ptr<Operation>& op, std::function<void()> fn)
{
    std::weak_ptr<Operation> weak = op;
    asio::post(executor_, [weak, fn = std::move(fn)] {
        auto alive = weak.lock();
        if (alive && !alive->cancelled) fn();
    });
}

std::vector<std::shared_ptr<SimDnsSd::Operation>> SimDnsSd::live(int kind) const
{
    std::vector<std::shared_ptr<Operation>> result;
    for (const auto& weak : operations_) {
        if (auto op = weak.lock(); op && !op->cancelled && op->kind == kind) result.push_back(op);
    }
    return result;
}

std::shared_ptr<DnsSdOperation> SimDnsSd::browse(const std::string& type, const std::string& domain,
    BrowseHandlers handlers)
{
    auto op = std::make_shared<Operation>();
    op->kind = browsing;
    op->type = type;
    op->domain = domain;
    op->browse = std::move(handlers);
    std::vector<DnsSdService> present;
    {
        std::lock_guard guard(lock_);
        std::erase_if(operations_, [](const auto& weak) { return weak.expired(); });
        operations_.push_back(op);
        for (const auto& [service, record] : services_) {
            if (service.type == type && service.domain == domain) present.push_back(service);
        }
    }
    for (const auto& service : present) {
        deliver(op, [op = op.get(), service] {
            if (op->browse.found) op->browse.found(service);
        });
    }
    return op;
}

std::shared_ptr<DnsSdOperation> SimDnsSd::resolve(const DnsSdService& service, Duration timeout,
    ResolveHandlers handlers)
{
    auto op = std::make_shared<Operation>();
    op->kind = resolving;
    op->resolve = std::move(handlers);
    std::optional<Record> record;
    {
        std::lock_guard guard(lock_);
        std::erase_if(operations_, [](const auto& weak) { return weak.expired(); });
        operations_.push_back(op);
        ++resolutions_;
        for (const auto& [known, value] : services_) {
            if (known == service) record = value;
        }
    }
    Operation* raw = op.get();
    if (!record || !record->answers) {
        std::weak_ptr<Operation> weak = op;
        op->timer = Timer::oneShot(executor_, timeout, [weak] {
            auto alive = weak.lock();
            if (!alive || alive->cancelled) return;
            alive->cancelled = true; // ends here
            if (alive->resolve.failed) alive->resolve.failed("Timeout reached");
        });
    } else if (record->resolveError) {
        deliver(op, [raw, error = *record->resolveError] {
            if (raw->resolve.failed) raw->resolve.failed(error);
        });
    } else {
        DnsSdResolution resolution;
        resolution.port = record->port;
        if (record->addresses) {
            resolution.addresses.emplace();
            for (const auto& text : *record->addresses) {
                if (auto bytes = socketAddressBytes(text, record->port)) resolution.addresses->push_back(*bytes);
            }
        }
        deliver(op, [raw, resolution] {
            if (raw->resolve.resolved) raw->resolve.resolved(resolution);
        });
    }
    return op;
}

std::shared_ptr<DnsSdOperation> SimDnsSd::publish(const DnsSdRegistration& registration, PublishHandlers handlers)
{
    auto op = std::make_shared<Operation>();
    op->kind = publishing;
    op->publish = std::move(handlers);
    std::optional<std::string> error;
    {
        std::lock_guard guard(lock_);
        std::erase_if(operations_, [](const auto& weak) { return weak.expired(); });
        operations_.push_back(op);
        publications_.push_back(registration);
        error = std::exchange(nextPublishError_, std::nullopt);
    }
    Operation* raw = op.get();
    if (error) {
        deliver(op, [raw, error = *error] {
            raw->cancelled = true;
            if (raw->publish.failed) raw->publish.failed(error);
        });
    } else {
        deliver(op, [raw, name = registration.name] {
            if (raw->publish.published) raw->publish.published(name);
        });
    }
    return op;
}

std::optional<std::string> SimDnsSd::computerName() const
{
    std::lock_guard guard(lock_);
    return computerName_;
}

void SimDnsSd::addService(const DnsSdService& service, Record record)
{
    std::vector<std::shared_ptr<Operation>> browsers;
    {
        std::lock_guard guard(lock_);
        std::erase_if(services_, [&](const auto& entry) { return entry.first == service; });
        services_.emplace_back(service, std::move(record));
        browsers = live(browsing);
    }
    for (const auto& op : browsers) {
        if (op->type != service.type || op->domain != service.domain) continue;
        deliver(op, [raw = op.get(), service] {
            if (raw->browse.found) raw->browse.found(service);
        });
    }
}

void SimDnsSd::removeService(const DnsSdService& service)
{
    std::vector<std::shared_ptr<Operation>> browsers;
    {
        std::lock_guard guard(lock_);
        if (std::erase_if(services_, [&](const auto& entry) { return entry.first == service; }) == 0) return;
        browsers = live(browsing);
    }
    for (const auto& op : browsers) {
        if (op->type != service.type || op->domain != service.domain) continue;
        deliver(op, [raw = op.get(), service] {
            if (raw->browse.removed) raw->browse.removed(service);
        });
    }
}

void SimDnsSd::failBrowses(const std::string& error)
{
    std::vector<std::shared_ptr<Operation>> browsers;
    {
        std::lock_guard guard(lock_);
        browsers = live(browsing);
    }
    for (const auto& op : browsers) {
        deliver(op, [raw = op.get(), error] {
            raw->cancelled = true;
            if (raw->browse.failed) raw->browse.failed(error);
        });
    }
}

void SimDnsSd::failNextPublish(const std::string& error)
{
    std::lock_guard guard(lock_);
    nextPublishError_ = error;
}

void SimDnsSd::withdrawPublications()
{
    std::vector<std::shared_ptr<Operation>> published;
    {
        std::lock_guard guard(lock_);
        published = live(publishing);
    }
    for (const auto& op : published) {
        deliver(op, [raw = op.get()] {
            raw->cancelled = true;
            if (raw->publish.stopped) raw->publish.stopped();
        });
    }
}

void SimDnsSd::setComputerName(std::optional<std::string> name)
{
    std::lock_guard guard(lock_);
    computerName_ = std::move(name);
}

std::vector<DnsSdRegistration> SimDnsSd::publications() const
{
    std::lock_guard guard(lock_);
    return publications_;
}

size_t SimDnsSd::activePublications() const
{
    std::lock_guard guard(lock_);
    return live(publishing).size();
}

size_t SimDnsSd::activeBrowses() const
{
    std::lock_guard guard(lock_);
    return live(browsing).size();
}

size_t SimDnsSd::resolutionsStarted() const
{
    std::lock_guard guard(lock_);
    return resolutions_;
}

} // namespace qb
