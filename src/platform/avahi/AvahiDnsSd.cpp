#include "platform/avahi/AvahiDnsSd.h"

#include <unistd.h>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/thread-watch.h>

namespace qb {

namespace {

// Avahi's own texts ("Daemon not running") do not say which daemon: these do,
// with what to run.
std::string avahiErrorText(int code)
{
    if (code == AVAHI_ERR_NO_DAEMON) {
        return "avahi-daemon is not running (start it: sudo systemctl enable --now avahi-daemon)";
    }
    return std::string("avahi-daemon: ") + avahi_strerror(code);
}

} // namespace

namespace {

// Avahi wants "_x._tcp" and "local" without the final dot.
std::string withoutFinalDot(std::string text)
{
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

class AvahiDnsSd;

// One browse, resolution or publication. Avahi calls back on its poll thread
// (with the poll lock held); those calls only record and post to the
// executor. cancel() runs on the executor and frees the Avahi objects under
// the poll lock, after which no handler runs.
class AvahiOperation : public DnsSdOperation, public std::enable_shared_from_this<AvahiOperation> {
public:
    explicit AvahiOperation(std::shared_ptr<AvahiDnsSd> owner) : owner_(std::move(owner)) {}
    void cancel() override;
    bool ended() const { return ended_; }

    // Poll lock held.
    virtual void freeLocked() = 0;
    // The client died: the Avahi objects are gone with it (poll thread).
    virtual void clientLostLocked(const std::string& error) = 0;

    // A callback's strong reference must not be the last one on the poll
    // thread (the destructor takes the poll lock): drop it on the executor.
    static void release(std::shared_ptr<AvahiOperation> alive);

protected:
    template <class Fn>
    void post(Fn&& fn);
    void end() { ended_ = true; }

    std::shared_ptr<AvahiDnsSd> owner_;
    std::atomic<bool> ended_{false};
};

class AvahiDnsSd final : public DnsSd, public std::enable_shared_from_this<AvahiDnsSd> {
public:
    explicit AvahiDnsSd(Executor executor) : executor_(std::move(executor))
    {
        poll_ = avahi_threaded_poll_new();
        if (poll_ && avahi_threaded_poll_start(poll_) < 0) {
            avahi_threaded_poll_free(poll_);
            poll_ = nullptr;
        }
    }

    ~AvahiDnsSd() override
    {
        // Every operation holds us, so none is left: stop the thread, then free.
        if (!poll_) return;
        avahi_threaded_poll_stop(poll_);
        if (client_) avahi_client_free(client_);
        avahi_threaded_poll_free(poll_);
    }

    Executor executor() const override { return executor_; }

    std::shared_ptr<DnsSdOperation> browse(const std::string& type, const std::string& domain,
        BrowseHandlers handlers) override;
    std::shared_ptr<DnsSdOperation> resolve(const DnsSdService& service, Duration timeout,
        ResolveHandlers handlers) override;
    std::shared_ptr<DnsSdOperation> publish(const DnsSdRegistration& registration, PublishHandlers handlers) override;
    // The name the user gave this computer, else its host name (a Debian
    // host has no /etc/machine-info until hostnamectl writes one).
    std::optional<std::string> computerName() const override
    {
        if (auto name = readComputerName()) return name;
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return std::string(host);
        return std::nullopt;
    }

    // Runs `fn(client or nullptr, error)` with the poll lock held, connecting first when needed.
    template <class Fn>
    void withClient(Fn&& fn)
    {
        if (!poll_) {
            fn(nullptr, std::string("Failed to start the Avahi event loop"));
            return;
        }
        avahi_threaded_poll_lock(poll_);
        std::string error;
        if (client_ && clientFailed_) {
            avahi_client_free(client_);
            client_ = nullptr;
            clientFailed_ = false;
        }
        if (!client_) {
            int code = 0;
            client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), &AvahiDnsSd::onClient,
                this, &code);
            if (!client_) error = avahiErrorText(code);
        }
        fn(client_, error);
        avahi_threaded_poll_unlock(poll_);
    }

    void lock()
    {
        if (poll_) avahi_threaded_poll_lock(poll_);
    }
    void unlock()
    {
        if (poll_) avahi_threaded_poll_unlock(poll_);
    }

    // Poll lock held.
    void registerLocked(const std::shared_ptr<AvahiOperation>& op)
    {
        std::erase_if(operations_, [](const auto& weak) { return weak.expired(); });
        operations_.push_back(op);
    }

private:
    static void onClient(AvahiClient* client, AvahiClientState state, void* userdata)
    {
        auto* self = static_cast<AvahiDnsSd*>(userdata);
        if (state != AVAHI_CLIENT_FAILURE) return;
        // The daemon went away: every object of this client is dead. Tell the
        // operations, and make a new client at the next request.
        self->clientFailed_ = true;
        const std::string error = avahiErrorText(avahi_client_errno(client));
        for (const auto& weak : self->operations_) {
            if (auto op = weak.lock()) {
                op->clientLostLocked(error);
                AvahiOperation::release(std::move(op));
            }
        }
    }

    Executor executor_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr; // poll lock
    bool clientFailed_ = false;     // poll lock
    std::vector<std::weak_ptr<AvahiOperation>> operations_; // poll lock
};

template <class Fn>
void AvahiOperation::post(Fn&& fn)
{
    std::weak_ptr<AvahiOperation> weak = weak_from_this();
    asio::post(owner_->executor(), [weak, fn = std::forward<Fn>(fn)]() mutable {
        auto self = weak.lock();
        if (self && !self->ended()) fn();
    });
}

void AvahiOperation::release(std::shared_ptr<AvahiOperation> alive)
{
    if (!alive) return;
    Executor executor = alive->owner_->executor();
    asio::post(executor, [keep = std::move(alive)] {});
}

void AvahiOperation::cancel()
{
    if (ended_.exchange(true)) return;
    owner_->lock();
    freeLocked();
    owner_->unlock();
}

// --- browse ---------------------------------------------------------------

class AvahiBrowse final : public AvahiOperation {
public:
    AvahiBrowse(std::shared_ptr<AvahiDnsSd> owner, std::string type, std::string domain,
        DnsSd::BrowseHandlers handlers)
        : AvahiOperation(std::move(owner)), type_(std::move(type)), domain_(std::move(domain)),
          handlers_(std::move(handlers))
    {
    }
    ~AvahiBrowse() override { cancel(); }

    void start()
    {
        owner_->withClient([&](AvahiClient* client, const std::string& error) {
            if (client) {
                owner_->registerLocked(shared_from_this());
                browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                    withoutFinalDot(type_).c_str(), withoutFinalDot(domain_).c_str(), AvahiLookupFlags(0),
                    &AvahiBrowse::onEvent, this);
            }
            if (!browser_) fail(client ? avahiErrorText(avahi_client_errno(client)) : error);
        });
    }

    void freeLocked() override
    {
        if (browser_) avahi_service_browser_free(browser_);
        browser_ = nullptr;
    }

    void clientLostLocked(const std::string& error) override
    {
        browser_ = nullptr;
        fail(error);
    }

private:
    void fail(const std::string& error)
    {
        post([this, error] {
            end();
            if (handlers_.failed) handlers_.failed(error);
        });
    }

    static void onEvent(AvahiServiceBrowser* browser, AvahiIfIndex, AvahiProtocol, AvahiBrowserEvent event,
        const char* name, const char*, const char*, AvahiLookupResultFlags, void* userdata)
    {
        auto* self = static_cast<AvahiBrowse*>(userdata);
        auto alive = self->weak_from_this().lock();
        if (!alive) return;
        // Avahi reports a service once per interface and protocol; the
        // components see one service per name.
        switch (event) {
        case AVAHI_BROWSER_NEW:
            if (self->instances_[name]++ == 0) {
                DnsSdService service{name, self->type_, self->domain_};
                self->post([self, service] {
                    if (self->handlers_.found) self->handlers_.found(service);
                });
            }
            break;
        case AVAHI_BROWSER_REMOVE: {
            auto found = self->instances_.find(name);
            if (found == self->instances_.end()) break;
            if (--found->second == 0) {
                self->instances_.erase(found);
                DnsSdService service{name, self->type_, self->domain_};
                self->post([self, service] {
                    if (self->handlers_.removed) self->handlers_.removed(service);
                });
            }
            break;
        }
        case AVAHI_BROWSER_FAILURE:
            self->fail(avahiErrorText(avahi_client_errno(avahi_service_browser_get_client(browser))));
            break;
        default: break;
        }
        release(std::move(alive));
    }

    std::string type_;
    std::string domain_;
    DnsSd::BrowseHandlers handlers_;
    AvahiServiceBrowser* browser_ = nullptr;  // poll lock
    std::map<std::string, int> instances_;    // poll thread
};

// --- resolve --------------------------------------------------------------

// Resolves the IPv4 and the IPv6 address at the same time; reports once both
// have answered, a short grace after the first answer, or at the time limit.
class AvahiResolve final : public AvahiOperation {
public:
    static constexpr auto ANSWER_GRACE = std::chrono::milliseconds(1000);

    AvahiResolve(std::shared_ptr<AvahiDnsSd> owner, DnsSdService service, DnsSd::ResolveHandlers handlers)
        : AvahiOperation(std::move(owner)), service_(std::move(service)), handlers_(std::move(handlers))
    {
    }
    ~AvahiResolve() override { cancel(); }

    void start(Duration timeout)
    {
        std::weak_ptr<AvahiOperation> weak = weak_from_this();
        deadline_ = Timer::oneShot(owner_->executor(), timeout, [weak] {
            if (auto self = std::static_pointer_cast<AvahiResolve>(weak.lock())) self->finish();
        });
        owner_->withClient([&](AvahiClient* client, const std::string& error) {
            if (!client) {
                std::lock_guard guard(dataLock_);
                lastError_ = error;
                pending_ = 0;
                return;
            }
            owner_->registerLocked(shared_from_this());
            const AvahiProtocol families[2] = {AVAHI_PROTO_INET, AVAHI_PROTO_INET6};
            for (int i = 0; i < 2; ++i) {
                resolvers_[i] = avahi_service_resolver_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                    service_.name.c_str(), withoutFinalDot(service_.type).c_str(),
                    withoutFinalDot(service_.domain).c_str(), families[i], AvahiLookupFlags(0),
                    &AvahiResolve::onResult, this);
                std::lock_guard guard(dataLock_);
                if (resolvers_[i]) ++pending_;
                else lastError_ = avahiErrorText(avahi_client_errno(client));
            }
        });
        std::lock_guard guard(dataLock_);
        if (pending_ == 0) post([this] { finish(); });
    }

    void freeLocked() override
    {
        for (auto*& resolver : resolvers_) {
            if (resolver) avahi_service_resolver_free(resolver);
            resolver = nullptr;
        }
    }

    void clientLostLocked(const std::string& error) override
    {
        for (auto*& resolver : resolvers_) resolver = nullptr;
        {
            std::lock_guard guard(dataLock_);
            lastError_ = error;
        }
        post([this] { finish(); });
    }

private:
    static void onResult(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
        const char*, const char*, const char*, const char*, const AvahiAddress* address, uint16_t port,
        AvahiStringList*, AvahiLookupResultFlags, void* userdata)
    {
        auto* self = static_cast<AvahiResolve*>(userdata);
        auto alive = self->weak_from_this().lock();
        if (!alive) return;
        bool first = false;
        bool last = false;
        {
            std::lock_guard guard(self->dataLock_);
            if (event == AVAHI_RESOLVER_FOUND && address) {
                char text[AVAHI_ADDRESS_STR_MAX] = {};
                avahi_address_snprint(text, sizeof text, address);
                if (auto bytes = socketAddressBytes(text, port)) {
                    first = self->addresses_.empty();
                    self->addresses_.push_back(*bytes);
                    self->port_ = port;
                }
            } else {
                self->lastError_ = avahiErrorText(avahi_client_errno(avahi_service_resolver_get_client(resolver)));
            }
            last = --self->pending_ == 0;
        }
        for (auto*& own : self->resolvers_) {
            if (own == resolver) own = nullptr;
        }
        avahi_service_resolver_free(resolver);
        if (last) {
            self->post([self] { self->finish(); });
        } else if (first) {
            self->post([self] {
                std::weak_ptr<AvahiOperation> weak = self->weak_from_this();
                self->grace_ = Timer::oneShot(self->owner_->executor(), ANSWER_GRACE, [weak] {
                    if (auto again = std::static_pointer_cast<AvahiResolve>(weak.lock())) again->finish();
                });
            });
        }
        release(std::move(alive));
    }

    // On the executor: report once.
    void finish()
    {
        if (ended()) return;
        cancel();
        if (deadline_) deadline_->cancel();
        if (grace_) grace_->cancel();
        std::vector<std::vector<std::uint8_t>> addresses;
        std::uint16_t port = 0;
        std::string error;
        {
            std::lock_guard guard(dataLock_);
            addresses = addresses_;
            port = port_;
            error = lastError_.empty() ? "Timeout reached" : lastError_;
        }
        if (addresses.empty()) {
            if (handlers_.failed) handlers_.failed(error);
            return;
        }
        DnsSdResolution resolution;
        resolution.addresses = std::move(addresses);
        resolution.port = port;
        if (handlers_.resolved) handlers_.resolved(resolution);
    }

    DnsSdService service_;
    DnsSd::ResolveHandlers handlers_;
    AvahiServiceResolver* resolvers_[2] = {nullptr, nullptr}; // poll lock
    std::shared_ptr<Timer> deadline_;
    std::shared_ptr<Timer> grace_;
    std::mutex dataLock_;
    int pending_ = 0;
    std::vector<std::vector<std::uint8_t>> addresses_;
    std::uint16_t port_ = 0;
    std::string lastError_;
};

// --- publish --------------------------------------------------------------

class AvahiPublish final : public AvahiOperation {
public:
    AvahiPublish(std::shared_ptr<AvahiDnsSd> owner, DnsSdRegistration registration, DnsSd::PublishHandlers handlers)
        : AvahiOperation(std::move(owner)), registration_(std::move(registration)), handlers_(std::move(handlers))
    {
    }
    ~AvahiPublish() override { cancel(); }

    void start()
    {
        owner_->withClient([&](AvahiClient* client, const std::string& error) {
            if (!client) {
                fail(error);
                return;
            }
            owner_->registerLocked(shared_from_this());
            group_ = avahi_entry_group_new(client, &AvahiPublish::onState, this);
            if (!group_) {
                fail(avahiErrorText(avahi_client_errno(client)));
                return;
            }
            AvahiStringList* txt = nullptr;
            for (const auto& [key, value] : registration_.txt) {
                txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
            }
            const std::string type = withoutFinalDot(registration_.type);
            const std::string domain = withoutFinalDot(registration_.domain);
            int code = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                AvahiPublishFlags(0), registration_.name.c_str(), type.c_str(),
                domain.empty() ? nullptr : domain.c_str(), nullptr, registration_.port, txt);
            avahi_string_list_free(txt);
            if (code >= 0) code = avahi_entry_group_commit(group_);
            if (code < 0) fail(avahiErrorText(code));
        });
    }

    void freeLocked() override
    {
        if (group_) avahi_entry_group_free(group_);
        group_ = nullptr;
    }

    void clientLostLocked(const std::string&) override
    {
        group_ = nullptr;
        post([this] {
            end();
            if (handlers_.stopped) handlers_.stopped();
        });
    }

private:
    void fail(const std::string& error)
    {
        post([this, error] {
            cancel();
            if (handlers_.failed) handlers_.failed(error);
        });
    }

    static void onState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata)
    {
        auto* self = static_cast<AvahiPublish*>(userdata);
        auto alive = self->weak_from_this().lock();
        if (!alive) return;
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            self->post([self] {
                if (self->handlers_.published) self->handlers_.published(self->registration_.name);
            });
            break;
        case AVAHI_ENTRY_GROUP_COLLISION: self->fail("Local name collision"); break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            self->fail(avahiErrorText(avahi_client_errno(avahi_entry_group_get_client(group))));
            break;
        default: break;
        }
        release(std::move(alive));
    }

    DnsSdRegistration registration_;
    DnsSd::PublishHandlers handlers_;
    AvahiEntryGroup* group_ = nullptr; // poll lock
};

std::shared_ptr<DnsSdOperation> AvahiDnsSd::browse(const std::string& type, const std::string& domain,
    BrowseHandlers handlers)
{
    auto op = std::make_shared<AvahiBrowse>(shared_from_this(), type, domain, std::move(handlers));
    op->start();
    return op;
}

std::shared_ptr<DnsSdOperation> AvahiDnsSd::resolve(const DnsSdService& service, Duration timeout,
    ResolveHandlers handlers)
{
    auto op = std::make_shared<AvahiResolve>(shared_from_this(), service, std::move(handlers));
    op->start(timeout);
    return op;
}

std::shared_ptr<DnsSdOperation> AvahiDnsSd::publish(const DnsSdRegistration& registration, PublishHandlers handlers)
{
    auto op = std::make_shared<AvahiPublish>(shared_from_this(), registration, std::move(handlers));
    op->start();
    return op;
}

} // namespace

std::shared_ptr<DnsSd> makeAvahiDnsSd(Executor deliverOn) { return std::make_shared<AvahiDnsSd>(deliverOn); }

std::optional<std::string> avahiUnreachable()
{
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (poll == nullptr) return std::string("cannot start an Avahi event loop");
    int code = 0;
    AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0), nullptr, nullptr, &code);
    std::optional<std::string> problem;
    if (client == nullptr) problem = avahiErrorText(code);
    if (client != nullptr) avahi_client_free(client);
    avahi_simple_poll_free(poll);
    return problem;
}

std::optional<std::string> readComputerName(const std::string& machineInfoPath)
{
    std::ifstream in(machineInfoPath);
    if (!in) return std::nullopt;
    std::stringstream contents;
    contents << in.rdbuf();
    return prettyHostnameFromMachineInfo(contents.str());
}

} // namespace qb
