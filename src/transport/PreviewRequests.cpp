#include "transport/PreviewRequests.h"

#include <algorithm>
#include <vector>

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

// Every response: no page of another site may frame ours.
constexpr std::string_view NO_FRAMING = "Content-Security-Policy: frame-ancestors 'none'\r\nX-Frame-Options: DENY\r\n";

bool allDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

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

namespace {

// The names under which a peer that reached `local` reaches this computer.
std::vector<std::string> namesReaching(const asio::ip::address& local)
{
    std::vector<std::string> names;
    if (local.is_loopback()) names = {"localhost", "127.0.0.1", "[::1]"};
    if (local.is_unspecified()) return names;
    std::string literal;
    if (local.is_v6()) {
        auto v6 = local.to_v6();
        v6.scope_id(0); // a Host or Origin carries no interface
        literal = "[" + v6.to_string() + "]";
    } else {
        literal = local.to_string();
    }
    if (std::find(names.begin(), names.end(), literal) == names.end()) names.push_back(literal);
    return names;
}

bool hostNamesThisComputer(std::string_view host, const RequestSite& site)
{
    // The name part: "[v6]" or everything before the port's colon.
    const auto nameEnd = host.starts_with('[') ? host.find(']') + 1 : host.find(':');
    const std::string_view name = host.substr(0, nameEnd);
    const std::string_view port = nameEnd >= host.size() ? std::string_view{} : host.substr(nameEnd);
    const bool portNumber = port.size() >= 2 && port.size() <= 6 && port.front() == ':' && allDigits(port.substr(1))
        && std::stoul(std::string(port.substr(1))) <= 65535;
    if (!port.empty() && !portNumber) return false;
    const auto names = namesReaching(site.local);
    return std::any_of(names.begin(), names.end(),
        [&](const std::string& known) { return equalsIgnoringCase(name, known); });
}

bool isPageOrigin(std::string_view origin, const RequestSite& site)
{
    const auto names = namesReaching(site.local);
    const std::string port = ":" + std::to_string(site.pagePort);
    return std::any_of(names.begin(), names.end(),
        [&](const std::string& name) { return origin == "http://" + name + port; });
}

} // namespace

bool fromThisDaemonsPages(const HTTPRequest& request, const RequestSite& site, OriginlessPeers originless)
{
    if (request.hasHost && !hostNamesThisComputer(request.host, site)) return false;
    if (request.hasOrigin) return isPageOrigin(request.origin, site);
    return originless == OriginlessPeers::anyServed || site.loopbackPeer;
}

PreviewRequest judgePreviewRequest(const HTTPRequest& request, const RequestSite& site)
{
    const std::string_view target = request.target;
    const std::string_view path = target.substr(0, target.find('?'));
    PreviewRequest kind = PreviewRequest::unanswered;
    if (request.method == "POST") {
        if (path == "/start") kind = PreviewRequest::start;
        if (path == "/stop") kind = PreviewRequest::stop;
        if (path == "/control") kind = PreviewRequest::control;
    } else if (request.method == "GET") {
        kind = path == "/tablet/stream"                               ? PreviewRequest::tabletStream
            : path == "/tablet" || path.starts_with("/tablet/device/") ? PreviewRequest::tablet
            : path == "/tablet/manifest.webmanifest"                   ? PreviewRequest::tabletManifest
            : path == "/tablet/icon.svg"                               ? PreviewRequest::tabletIcon
                                                                       : PreviewRequest::page;
    }
    if (kind == PreviewRequest::unanswered) return kind;
    // The control page's settings are this machine's alone.
    const bool control = kind == PreviewRequest::control;
    if (control && !site.loopbackPeer) return PreviewRequest::refused;
    const auto originless = control ? OriginlessPeers::loopbackOnly : OriginlessPeers::anyServed;
    return fromThisDaemonsPages(request, site, originless) ? kind : PreviewRequest::refused;
}

std::string controlResponse(std::string_view status, std::string_view body)
{
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\nCache-Control: no-store\r\n" + std::string(NO_FRAMING)
        + "Connection: close\r\n\r\n" + std::string(body);
}

std::string previewResponse(PreviewRequest request, std::string_view body)
{
    const auto ok = [body](std::string_view type) {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(type) + "\r\nContent-Length: "
            + std::to_string(body.size()) + "\r\n" + std::string(NO_FRAMING) + "Connection: close\r\n\r\n"
            + std::string(body);
    };
    switch (request) {
    case PreviewRequest::start:
    case PreviewRequest::stop: {
        const std::string_view body = "OK";
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + std::string(NO_FRAMING)
            + "Connection: close\r\n\r\n" + std::string(body);
    }
    case PreviewRequest::page:
    case PreviewRequest::tablet: return ok("text/html");
    case PreviewRequest::tabletManifest: return ok("application/manifest+json");
    case PreviewRequest::tabletIcon: return ok("image/svg+xml");
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
