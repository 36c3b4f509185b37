// Fuzzes the preview's HTTP judge and its control-request parser: any bytes
// must be judged and parsed without fault, only well-formed UTF-8 may ever be
// answered, and a parsed request stays within its limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "config/Text.h"
#include "transport/PreviewRequests.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string page = qb::buildViewerPage(1600, 1200);
    const std::span<const std::uint8_t> bytes(data, size);
    const auto request = qb::judgePreviewRequest(bytes);
    const auto response = qb::previewResponse(request, page);
    const bool answered = request != qb::PreviewRequest::unanswered && request != qb::PreviewRequest::control;
    if (answered == response.empty()) std::abort();
    if (request != qb::PreviewRequest::unanswered && !qb::isValidUTF8(bytes)) std::abort();

    const auto parsed = qb::parseHTTPRequest(bytes);
    if (parsed.progress == qb::ParsedHTTPRequest::Progress::complete) {
        const auto& body = parsed.request.body;
        if (body.size() > qb::MAX_CONTROL_BODY_BYTES || body.size() > size) std::abort();
        const std::span<const std::uint8_t> text(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
        if (!qb::isValidUTF8(text)) std::abort();
        // Only a request naming this machine may pass, and never from the LAN.
        if (qb::controlRequestAllowed(parsed.request, false)) std::abort();
        if (qb::controlRequestAllowed(parsed.request, true) && !qb::isLocalHost(parsed.request.host)) std::abort();
    }
    return 0;
}
