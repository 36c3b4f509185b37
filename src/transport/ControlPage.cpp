#include "transport/ControlPage.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "config/ControlVerbs.h"
#include "config/DisplayResolution.h"
#include "config/Modes.h"
#include "config/Text.h"
#include "transport/TabletPage.h"

namespace qb {

namespace {

std::string escaped(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string option(std::string_view value, std::string_view text)
{
    return "<option value=\"" + escaped(value) + "\">" + escaped(text) + "</option>";
}

// The argument a command takes and HEALTH shows for a preset or a profile:
// its label, lower case, hyphens for spaces ("portrait-cozy", "crisp-paper").
std::string presetArgument(std::string_view label)
{
    std::string name = lowercased(label);
    for (auto& c : name) {
        if (c == ' ') c = '-';
    }
    return name;
}

constexpr std::string_view STYLE = R"(<style>
body{margin:0;font:14px sans-serif;background:#1d1d1d;color:#eee;display:flex;flex-wrap:wrap;gap:16px;padding:16px}
#picture{flex:1 1 480px;min-width:320px}
#c{display:block;max-width:100%;max-height:calc(100vh - 32px);margin:auto;background:#000;image-rendering:pixelated}
#panel{flex:0 0 300px}
h2{font-size:15px;margin:14px 0 6px;border-bottom:1px solid #444}
table{border-collapse:collapse;width:100%}td{padding:3px 4px}td:first-child{color:#aaa;width:45%}
select,input[type=range]{width:100%}
button{font:14px sans-serif;padding:6px 18px;margin-right:8px}
#reply{min-height:1.2em;color:#9cf;word-break:break-word}
</style>)";

constexpr std::string_view SCRIPT = R"(<script>
const c=document.getElementById('c'),g=c.getContext('2d');
let next=null,pending=false;
function draw(){pending=false;if(!next)return;
if(c.width!==next.width||c.height!==next.height){c.width=next.width;c.height=next.height;}
g.drawImage(next,0,0,c.width,c.height);next.close();next=null;}
function connect(){const ws=new WebSocket('ws://localhost:'+WS_PORT);ws.binaryType='arraybuffer';
ws.onmessage=e=>{createImageBitmap(new Blob([e.data],{type:'image/jpeg'})).then(b=>{
if(next)next.close();next=b;if(!pending){pending=true;requestAnimationFrame(draw);}}).catch(()=>{});};
ws.onclose=()=>setTimeout(connect,1000);}
connect();
const $=id=>document.getElementById(id);
async function send(text){
const r=await fetch('/control',{method:'POST',headers:{'Content-Type':'text/plain'},body:text});
return r.text();}
async function act(text){let reply;try{reply=await send(text);}catch(e){reply='ERR daemon unreachable';}
$('reply').textContent=text+': '+reply;refresh();return reply;}
// HEALTH shows the resolution with its size beside it: cozy (1600x1200).
function show(id,value){const e=$(id);if(value===undefined||e===document.activeElement)return;
value=value.replace(/ \(.*$/,'');
if(e.type==='checkbox')e.checked=value==='on';else e.value=value;
const o=$(id+'-value');if(o)o.textContent=value;}
for(const [id,verb] of controls){const e=$(id);
if(e.tagName==='BUTTON'){e.addEventListener('click',()=>act(verb));continue;}
if(e.type==='range')e.addEventListener('input',()=>{$(id+'-value').textContent=e.value;});
e.addEventListener('change',()=>act(verb+' '+(e.type==='checkbox'?(e.checked?'on':'off'):e.value)));}
let refreshing=false;
async function refresh(){if(refreshing)return;refreshing=true;
try{const health=await send('HEALTH');const v={};
for(const line of health.split('\n').slice(1)){const i=line.indexOf('=');if(i>0)v[line.slice(0,i)]=line.slice(i+1);}
$('state').textContent=v.status||health;
$('fps').textContent=v.fps;$('clients').textContent=v.clients;
$('rtt').textContent=v.rtt_avg_ms+' ms (p95 '+v.rtt_p95_ms+' ms)';
$('bandwidth').textContent=v.bandwidth_mbps+' MB/s';$('frames').textContent=v.total_frames+' ('+v.skipped_frames+' skipped)';
for(const [id,,key] of controls)show(id,v[key]);
}catch(e){$('state').textContent='daemon unreachable';}
refreshing=false;}
refresh();setInterval(refresh,1000);
</script>)";

std::string number(double value) { return std::to_string(value); }

// What a select shows for each of its values.
std::string optionText(std::string_view value)
{
    static constexpr std::pair<std::string_view, std::string_view> TEXTS[]
        = {{"mirror", "Mirror"}, {"extended", "Extended"}, {"usb", "USB"}, {"wifi", "Wi-Fi"}};
    for (const auto& [word, text] : TEXTS) {
        if (word == value) return std::string(text);
    }
    for (const auto profile : allDisplayProfiles) {
        if (presetArgument(rawValue(profile)) == value) return std::string(rawValue(profile));
    }
    return std::string(value);
}

// The DC-1 presets by what the user sees (how much desktop, how dense), then
// the other tablets' modes. Each name once: "portrait-cozy" and "portrait-sharp" name a DC-1 preset and the other
// tablets' portrait modes alike.
std::string resolutionOptions(const CommandEntry& command)
{
    std::string dc1;
    std::string others;
    for (const auto value : command.values) {
        const auto& presets = DisplayResolution::dc1Presets();
        const auto preset = std::find_if(presets.begin(), presets.end(),
            [value](const DisplayResolution& p) { return presetArgument(p.label) == value; });
        if (preset == presets.end()) {
            const bool cozy = value.ends_with("cozy");
            others += option(value, std::string(value) + " \u2014 desktop at "
                    + (cozy ? "half the tablet's pixels, 2x" : "all the tablet's pixels, 1x"));
            continue;
        }
        const bool shared = value == "portrait-cozy" || value == "portrait-sharp";
        dc1 += option(value, preset->label + " \u2014 " + preset->desktopShown()
                + (shared ? " (other tablets: portrait)" : ""));
    }
    return "<optgroup label=\"DC-1\">" + dc1 + "</optgroup><optgroup label=\"Other tablets\">" + others + "</optgroup>";
}

// The control of `verb`, as the verb table gives it: the element is named
// after the command, a slider spans the verb's range, a select offers its values.
std::string control(ControlVerb verb, std::string_view label)
{
    const ControlVerbEntry& entry = controlVerb(verb);
    const std::string name(entry.command.name);
    const std::string head = "<tr><td><label for=\"" + name + "\">" + std::string(label) + "</label>";
    switch (entry.page) {
    case PageControl::slider:
        return head + " <span id=\"" + name + "-value\"></span></td><td><input type=\"range\" id=\"" + name
            + "\" min=\"" + number(entry.minimum) + "\" max=\"" + number(entry.maximum) + "\" step=\""
            + number(entry.step) + "\"></td></tr>";
    case PageControl::checkbox:
        return head + "</td><td><input type=\"checkbox\" id=\"" + name + "\"></td></tr>";
    case PageControl::select: {
        std::string options;
        if (verb == ControlVerb::resolution) {
            options = resolutionOptions(entry.command);
        } else {
            for (const auto value : entry.command.values) options += option(value, optionText(value));
        }
        return head + "</td><td><select id=\"" + name + "\">" + options + "</select></td></tr>";
    }
    case PageControl::button: return "<button id=\"" + name + "\">" + std::string(label) + "</button>";
    case PageControl::none: break;
    }
    return {};
}

// The script's list of controls: element, socket verb, HEALTH key it shows.
std::string controlList()
{
    std::string list = "<script>const controls=[";
    for (const auto& entry : controlVerbs()) {
        if (entry.page == PageControl::none) continue;
        list += "['" + std::string(entry.command.name) + "','" + std::string(entry.word) + "','"
            + std::string(entry.healthKey) + "'],";
    }
    return list + "];</script>";
}

} // namespace

std::string buildControlPage(int width, int height, std::uint16_t webSocketPort)
{
    std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                       "<title>QuillBright</title>";
    page += STYLE;
    page += "</head><body><div id=\"picture\"><canvas id=\"c\" width=\"" + std::to_string(width) + "\" height=\""
        + std::to_string(height) + "\"></canvas></div><div id=\"panel\">";
    page += "<div>" + control(ControlVerb::start, "Start") + control(ControlVerb::stop, "Stop") + "</div>";
    page += "<p id=\"reply\"></p><h2>Status</h2><table>"
            "<tr><td>State</td><td id=\"state\"></td></tr><tr><td>Frame rate</td><td id=\"fps\"></td></tr>"
            "<tr><td>Clients</td><td id=\"clients\"></td></tr><tr><td>Round trip</td><td id=\"rtt\"></td></tr>"
            "<tr><td>Bandwidth</td><td id=\"bandwidth\"></td></tr><tr><td>Frames</td><td id=\"frames\"></td></tr>"
            "</table><h2>Display</h2><table>";
    page += control(ControlVerb::displayMode, "Display mode");
    page += control(ControlVerb::connection, "Connection");
    page += control(ControlVerb::resolution, "Resolution");
    page += control(ControlVerb::profile, "Profile");
    page += control(ControlVerb::contrast, "Contrast");
    page += control(ControlVerb::gamma, "Gamma");
    page += "</table><h2>Tablet</h2><table>";
    page += control(ControlVerb::brightness, "Brightness");
    page += control(ControlVerb::warmth, "Warmth");
    page += control(ControlVerb::backlight, "Backlight");
    page += control(ControlVerb::autoRefresh, "Clean refresh after many updates (greyscale pages)");
    page += "<tr><td>Tablet page</td><td><ul id=\"abilities\">";
    for (const auto ability : TABLET_PAGE_ABILITIES) page += "<li>" + std::string(ability) + "</li>";
    page += "</ul></td></tr>";
    page += "</table><h2>This computer</h2><table>";
    page += control(ControlVerb::autoMirror, "Mirror when plugged in");
    page += control(ControlVerb::autoDim, "Dim the screen while mirroring");
    page += control(ControlVerb::clamshell, "Keep running with the lid closed");
    page += "</table></div><script>const WS_PORT=" + std::to_string(webSocketPort) + ";</script>";
    page += controlList();
    page += SCRIPT;
    page += "</body></html>\n";
    return page;
}

} // namespace qb
