#include "transport/PreviewRequests.h"

#include <algorithm>

#include "config/Text.h"
#include "runtime/Asio.h"

namespace qb {

namespace {

std::string_view asText(std::span<const std::uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The header lines of a head (after its request line), each split at its
// first colon; `visit` returns false to stop. False when a line has no colon
// or a name with a space in it.
template <class Visit>
bool forEachHeader(std::string_view head, Visit visit)
{
    const auto firstEnd = head.find("\r\n");
    if (firstEnd == std::string_view::npos) return true;
    std::string_view rest = head.substr(firstEnd + 2);
    while (!rest.empty()) {
        const auto end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 2);
        if (line.empty()) break;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return false;
        const std::string_view name = line.substr(0, colon);
        if (name.find_first_of(" \t") != std::string_view::npos) return false;
        if (!visit(name, trimmed(line.substr(colon + 1)))) break;
    }
    return true;
}

bool allDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

PreviewRequest judgePreviewRequest(std::span<const std::uint8_t> firstRead)
{
    if (!isValidUTF8(firstRead)) return PreviewRequest::unanswered;
    const std::string_view text = asText(firstRead);
    const bool start = text.starts_with("POST /start");
    if (start || text.starts_with("POST /stop")) {
        bool foreign = false;
        forEachHeader(text, [&](std::string_view name, std::string_view value) {
            if (equalsIgnoringCase(name, "origin") && !isLocalOrigin(value)) foreign = true;
            return !foreign;
        });
        if (foreign) return PreviewRequest::refused;
        return start ? PreviewRequest::start : PreviewRequest::stop;
    }
    if (text.starts_with("POST /control")) return PreviewRequest::control;
    if (text.starts_with("GET /tablet/stream")) {
        const auto parsed = parseHTTPRequest(firstRead);
        if (parsed.progress != ParsedHTTPRequest::Progress::complete) return PreviewRequest::unanswered;
        return tabletStreamAllowed(parsed.request) ? PreviewRequest::tabletStream : PreviewRequest::refused;
    }
    if (text.starts_with("GET /tablet ") || text.starts_with("GET /tablet?") || text.starts_with("GET /tablet/device/")) {
        return PreviewRequest::tablet;
    }
    if (text.find("GET") != std::string_view::npos) return PreviewRequest::page;
    return PreviewRequest::unanswered;
}

ParsedHTTPRequest parseHTTPRequest(std::span<const std::uint8_t> bytes)
{
    using Progress = ParsedHTTPRequest::Progress;
    ParsedHTTPRequest parsed;
    const auto malformed = [&] {
        parsed.progress = Progress::malformed;
        parsed.request = {};
        return parsed;
    };
    const std::string_view text = asText(bytes);
    const auto headEnd = text.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        if (text.size() > MAX_REQUEST_HEAD_BYTES) return malformed();
        // Judged whole once complete; an invalid byte already here is final.
        return isValidUTF8(bytes) ? parsed : malformed();
    }
    if (headEnd + 4 > MAX_REQUEST_HEAD_BYTES) return malformed();
    const std::string_view head = text.substr(0, headEnd + 2);
    if (!isValidUTF8(bytes.first(headEnd + 4))) return malformed();

    const std::string_view requestLine = head.substr(0, head.find("\r\n"));
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || firstSpace == 0 || secondSpace == std::string_view::npos
        || secondSpace == firstSpace + 1 || !requestLine.substr(secondSpace + 1).starts_with("HTTP/1.")) {
        return malformed();
    }
    HTTPRequest& request = parsed.request;
    request.method = std::string(requestLine.substr(0, firstSpace));
    request.target = std::string(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1));

    bool hasLength = false;
    bool broken = false;
    std::size_t length = 0;
    const bool wellFormed = forEachHeader(head, [&](std::string_view name, std::string_view value) {
        if (equalsIgnoringCase(name, "content-length")) {
            // Digits only, once: two lengths could be read two ways.
            if (hasLength || !allDigits(value) || value.size() > 6) broken = true;
            else length = static_cast<std::size_t>(std::stoul(std::string(value)));
            hasLength = true;
        } else if (equalsIgnoringCase(name, "transfer-encoding")) {
            broken = true;
        } else if (equalsIgnoringCase(name, "host")) {
            if (request.hasHost) broken = true;
            request.hasHost = true;
            request.host = std::string(value);
        } else if (equalsIgnoringCase(name, "origin")) {
            if (request.hasOrigin) broken = true;
            request.hasOrigin = true;
            request.origin = std::string(value);
        }
        return !broken;
    });
    if (!wellFormed || broken || length > MAX_CONTROL_BODY_BYTES) return malformed();

    const std::size_t bodyStart = headEnd + 4;
    if (text.size() - bodyStart < length) {
        parsed.request = {};
        return parsed; // the body is still on its way
    }
    if (!isValidUTF8(bytes.subspan(bodyStart, length))) return malformed();
    request.body = std::string(text.substr(bodyStart, length));
    parsed.progress = Progress::complete;
    return parsed;
}

bool isLocalHost(std::string_view host)
{
    for (const std::string_view name : {"localhost", "127.0.0.1", "[::1]"}) {
        if (host.size() < name.size() || !equalsIgnoringCase(host.substr(0, name.size()), name)) continue;
        const std::string_view rest = host.substr(name.size());
        if (rest.empty()) return true;
        return rest.front() == ':' && allDigits(rest.substr(1)) && rest.size() <= 6;
    }
    return false;
}

bool isLocalOrigin(std::string_view origin)
{
    return origin.starts_with("http://") && isLocalHost(origin.substr(7));
}

bool tabletStreamAllowed(const HTTPRequest& request)
{
    if (!request.hasHost) return false;
    std::string_view host = request.host;
    // The name part: "[v6]" or everything before the port's colon.
    std::string_view name = host;
    if (host.starts_with('[')) {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(1, close - 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && !(rest.front() == ':' && allDigits(rest.substr(1)))) return false;
        boost::system::error_code error;
        asio::ip::make_address_v6(std::string(name), error);
        if (error) return false;
    } else {
        const auto colon = host.find(':');
        if (colon != std::string_view::npos) {
            name = host.substr(0, colon);
            if (!allDigits(host.substr(colon + 1))) return false;
        }
        boost::system::error_code error;
        asio::ip::make_address_v4(std::string(name), error);
        if (error && !equalsIgnoringCase(name, "localhost")) return false;
    }
    return !request.hasOrigin || request.origin == "http://" + request.host;
}

bool controlRequestAllowed(const HTTPRequest& request, bool loopbackPeer)
{
    if (!loopbackPeer || !request.hasHost || !isLocalHost(request.host)) return false;
    return !request.hasOrigin || isLocalOrigin(request.origin);
}

std::string controlResponse(std::string_view status, std::string_view body)
{
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + std::string(body);
}

std::string previewResponse(PreviewRequest request, std::string_view htmlPage)
{
    switch (request) {
    case PreviewRequest::start:
    case PreviewRequest::stop: {
        const std::string_view body = "OK";
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n"
            + std::string(body);
    }
    case PreviewRequest::page:
    case PreviewRequest::tablet:
        return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(htmlPage.size())
            + "\r\nConnection: close\r\n\r\n" + std::string(htmlPage);
    case PreviewRequest::refused: return controlResponse("403 Forbidden", "ERR forbidden");
    case PreviewRequest::control:
    case PreviewRequest::tabletStream:
    case PreviewRequest::unanswered: break;
    }
    return {};
}

std::string buildViewerPage(int width, int height, std::uint16_t webSocketPort)
{
    static constexpr std::string_view head =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1,maximum-scale=1,user-scalable=no\">"
        "<title>QuillBright</title><style>"
        "html,body{margin:0;padding:0;background:#000;overflow:hidden;touch-action:none}"
        "#c{display:block;width:100vw;height:100vh;image-rendering:pixelated}"
        "#bar{position:fixed;top:8px;right:8px;opacity:.35}#bar:hover{opacity:1}"
        "#bar button{font:14px sans-serif;margin-left:4px}"
        "</style></head><body><canvas id=\"c\"></canvas>"
        "<div id=\"bar\"><button id=\"start\">Start</button><button id=\"stop\">Stop</button></div><script>\n"
        "const c=document.getElementById('c');\n";
    static constexpr std::string_view setup =
        "const g=c.getContext('2d');\n"
        "let next=null,pending=false;\n"
        "function draw(){pending=false;if(!next)return;"
        "if(c.width!==next.width||c.height!==next.height){c.width=next.width;c.height=next.height;}"
        "g.drawImage(next,0,0,c.width,c.height);next.close();next=null;}\n"
        "ws.onmessage=e=>{createImageBitmap(new Blob([e.data],{type:'image/jpeg'})).then(b=>{"
        "if(next)next.close();next=b;"
        "if(!pending){pending=true;requestAnimationFrame(draw);}}).catch(()=>{});};\n"
        "c.addEventListener('click',()=>{const r=document.documentElement.requestFullscreen;"
        "if(r)r.call(document.documentElement).catch(()=>{});});\n"
        "for(const n of['start','stop'])document.getElementById(n).addEventListener('click',()=>{"
        "fetch('/'+n,{method:'POST'}).catch(()=>{});});\n"
        "</script></body></html>\n";
    std::string page(head);
    page += "c.width=" + std::to_string(width) + ";c.height=" + std::to_string(height) + ";\n";
    page += "const ws=new WebSocket('ws://localhost:" + std::to_string(webSocketPort) + "');\n";
    page += "ws.binaryType='arraybuffer';\n";
    page += setup;
    return page;
}

} // namespace qb
