#include "host/UpdateChecker.h"

#include <charconv>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include "diagnostics/Log.h"

namespace qb::UpdateChecker {

namespace {

std::vector<long long> versionNumbers(std::string_view text)
{
    std::vector<long long> numbers;
    while (!text.empty()) {
        const auto dot = text.find('.');
        const std::string_view piece = text.substr(0, dot);
        text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
        if (piece.empty()) continue;
        long long value = 0;
        const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (error == std::errc{} && end == piece.data() + piece.size()) numbers.push_back(value);
    }
    return numbers;
}

struct Body {
    std::string text;
    std::size_t limit = 0;
    bool overflow = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* body = static_cast<Body*>(user);
    const std::size_t n = size * count;
    if (body->text.size() + n > body->limit) {
        body->overflow = true;
        return 0; // aborts the transfer
    }
    body->text.append(data, n);
    return n;
}

void initialiseOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::string Config::url() const
{
    std::string base = host;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/version.json";
}

bool isNewer(std::string_view remote, std::string_view local)
{
    const auto r = versionNumbers(remote);
    const auto l = versionNumbers(local);
    for (std::size_t i = 0; i < std::max(r.size(), l.size()); ++i) {
        const long long a = i < r.size() ? r[i] : 0;
        const long long b = i < l.size() ? l[i] : 0;
        if (a != b) return a > b;
    }
    return false;
}

std::optional<VersionInfo> decode(std::string_view body, std::string& error)
{
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded()) {
        error = "the data is not valid JSON";
        return std::nullopt;
    }
    if (!json.is_object()) {
        error = "the document is not a JSON object";
        return std::nullopt;
    }
    VersionInfo info;
    for (const char* key : {"version", "dmg"}) {
        const auto it = json.find(key);
        if (it == json.end() || !it->is_string()) {
            error = std::string("key '") + key + "' is missing or not a string";
            return std::nullopt;
        }
    }
    info.version = json["version"].get<std::string>();
    info.dmg = json["dmg"].get<std::string>();
    if (const auto it = json.find("minCompanionVersion"); it != json.end()) {
        if (!it->is_string()) {
            error = "key 'minCompanionVersion' is not a string";
            return std::nullopt;
        }
        info.minCompanionVersion = it->get<std::string>();
    }
    return info;
}

std::optional<Release> check(std::string_view currentVersion, const Config& config)
{
    if (!config.enabled()) return std::nullopt;
    initialiseOnce();
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        logWarn("Update", "Failed to fetch version.json: could not create a transfer");
        return std::nullopt;
    }
    Body body;
    body.limit = config.maxBodyBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    const std::string url = config.url();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(config.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(config.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // no SIGALRM from name resolution in a threaded daemon
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(config.maxBodyBytes));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, ("QuillBright/" + std::string(currentVersion)).c_str());

    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);

    if (result != CURLE_OK) {
        std::string why = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
        if (body.overflow || result == CURLE_FILESIZE_EXCEEDED) {
            why = "response larger than " + std::to_string(config.maxBodyBytes) + " bytes";
        }
        logWarn("Update", "Failed to fetch version.json: " + why);
        return std::nullopt;
    }
    if (status != 200) return std::nullopt;

    std::string error;
    const auto info = decode(body.text, error);
    if (!info) {
        logWarn("Update", "Failed to decode version.json: " + error);
        return std::nullopt;
    }
    if (!isNewer(info->version, currentVersion)) return std::nullopt;
    return Release{info->version, info->dmg};
}

} // namespace qb::UpdateChecker
