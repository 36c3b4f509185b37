#include "device/BonjourAdvertiser.h"

#include <fmt/format.h>

#include "diagnostics/Log.h"

namespace qb {

namespace {
void bonjourLog(std::string_view line) { componentLog(LogLevel::info, "Bonjour", line); }
} // namespace

std::shared_ptr<BonjourAdvertiser> BonjourAdvertiser::make(std::shared_ptr<DnsSd> dnsSd)
{
    return std::shared_ptr<BonjourAdvertiser>(new BonjourAdvertiser(std::move(dnsSd)));
}

void BonjourAdvertiser::start(std::uint16_t port)
{
    if (isAdvertising_) return;
    DnsSdRegistration registration;
    registration.name = dnsSd_->computerName().value_or("QuillBright");
    registration.type = std::string(SERVICE_TYPE);
    registration.port = port;
    registration.txt = {{"videoPort", std::to_string(port)}, {"inputPort", std::to_string(INPUT_PORT)},
        {"version", std::string(APP_VERSION)}};

    std::weak_ptr<BonjourAdvertiser> weak = weak_from_this();
    DnsSd::PublishHandlers handlers;
    handlers.published = [weak, port](const std::string& name) {
        if (auto self = weak.lock()) self->published(name, port);
    };
    handlers.failed = [weak](const std::string& error) {
        if (auto self = weak.lock()) self->notPublished(error);
    };
    handlers.stopped = [weak] {
        if (auto self = weak.lock()) self->stopped();
    };
    if (service_) service_->cancel();
    service_ = dnsSd_->publish(registration, std::move(handlers));
    isAdvertising_ = true;
    bonjourLog(fmt::format("[Bonjour] Publishing _quillbright._tcp on port {}", port));
}

void BonjourAdvertiser::stop()
{
    if (service_) service_->cancel();
    service_.reset();
    isAdvertising_ = false;
    bonjourLog("[Bonjour] Stopped");
}

void BonjourAdvertiser::published(const std::string& name, std::uint16_t port)
{
    bonjourLog(fmt::format("[Bonjour] Published: {}._quillbright._tcp.local port {}", name, port));
}

void BonjourAdvertiser::notPublished(const std::string& error)
{
    componentLog(LogLevel::error, "Bonjour", fmt::format("[Bonjour] Failed to publish: {}", error));
    service_.reset();
    isAdvertising_ = false;
}

void BonjourAdvertiser::stopped()
{
    bonjourLog("[Bonjour] Service stopped");
    service_.reset();
    isAdvertising_ = false;
}

} // namespace qb
