// Fuzzes the preview's request parser and its judge: any bytes must be
// parsed and judged without fault, a parsed request stays within its limits
// and is valid UTF-8, and whatever it says, /control is never taken from the
// LAN nor a request answered whose Origin is not one of this daemon's pages.
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
    const auto parsed = qb::parseHTTPRequest(bytes);
    if (parsed.progress != qb::ParsedHTTPRequest::Progress::complete) return 0;
    const auto& request = parsed.request;
    const auto& body = request.body;
    if (body.size() > qb::MAX_CONTROL_BODY_BYTES || body.size() > size) std::abort();
    const std::span<const std::uint8_t> text(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    if (!qb::isValidUTF8(text)) std::abort();

    static const qb::RequestSite here{qb::asio::ip::make_address("127.0.0.1"), true, 8891};
    static const qb::RequestSite lan{qb::asio::ip::make_address("192.168.1.20"), false, 8891};
    for (const auto* site : {&here, &lan}) {
        const auto verdict = qb::judgePreviewRequest(request, *site);
        const bool answered = verdict != qb::PreviewRequest::unanswered && verdict != qb::PreviewRequest::refused;
        if (answered && request.hasOrigin && request.origin != "http://localhost:8891"
            && request.origin != "http://127.0.0.1:8891" && request.origin != "http://[::1]:8891"
            && request.origin != "http://192.168.1.20:8891") {
            std::abort();
        }
        if (site == &lan && verdict == qb::PreviewRequest::control) std::abort();
        const auto response = qb::previewResponse(verdict, page);
        const bool replied = verdict != qb::PreviewRequest::unanswered && verdict != qb::PreviewRequest::control
            && verdict != qb::PreviewRequest::tabletStream;
        if (replied == response.empty()) std::abort();
    }
    return 0;
}
