#include "transport/PreviewRequests.h"

#include "config/Text.h"

namespace qb {

PreviewRequest judgePreviewRequest(std::span<const std::uint8_t> firstRead)
{
    if (!isValidUTF8(firstRead)) return PreviewRequest::unanswered;
    const std::string_view text(reinterpret_cast<const char*>(firstRead.data()), firstRead.size());
    if (text.starts_with("POST /start")) return PreviewRequest::start;
    if (text.starts_with("POST /stop")) return PreviewRequest::stop;
    if (text.find("GET") != std::string_view::npos) return PreviewRequest::page;
    return PreviewRequest::unanswered;
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
        return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(htmlPage.size())
            + "\r\nConnection: close\r\n\r\n" + std::string(htmlPage);
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
        "</style></head><body><canvas id=\"c\"></canvas><script>\n"
        "const c=document.getElementById('c');\n";
    static constexpr std::string_view setup =
        "const g=c.getContext('2d');\n"
        "let next=null,pending=false;\n"
        "function draw(){pending=false;if(!next)return;"
        "g.drawImage(next,0,0,c.width,c.height);next.close();next=null;}\n"
        "ws.onmessage=e=>{createImageBitmap(new Blob([e.data],{type:'image/jpeg'})).then(b=>{"
        "if(next)next.close();next=b;"
        "if(!pending){pending=true;requestAnimationFrame(draw);}}).catch(()=>{});};\n"
        "c.addEventListener('click',()=>{const r=document.documentElement.requestFullscreen;"
        "if(r)r.call(document.documentElement).catch(()=>{});});\n"
        "</script></body></html>\n";
    std::string page(head);
    page += "c.width=" + std::to_string(width) + ";c.height=" + std::to_string(height) + ";\n";
    page += "const ws=new WebSocket('ws://localhost:" + std::to_string(webSocketPort) + "');\n";
    page += "ws.binaryType='arraybuffer';\n";
    page += setup;
    return page;
}

} // namespace qb
