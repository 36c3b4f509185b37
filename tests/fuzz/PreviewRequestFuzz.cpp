// Fuzzes the preview's HTTP judge: any first read must be judged without
// fault, and only well-formed UTF-8 may ever be answered.
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
    if ((request == qb::PreviewRequest::unanswered) != response.empty()) std::abort();
    if (request != qb::PreviewRequest::unanswered && !qb::isValidUTF8(bytes)) std::abort();
    return 0;
}
