#include "cli/Pair.h"

#include <charconv>
#include <memory>

#include <fmt/format.h>

#include "config/Text.h"
#include "device/ADBBridge.h"
#include "device/PairedDevices.h"
#include "platform/Platform.h"
#include "platform/sim/SimPlatform.h"
#include "platform/UserFolders.h"

namespace qb::cli {

namespace {

constexpr ADBBridge::ToolsVersion FIRST_PAIRING_TOOLS{30, 0, 0};
constexpr std::string_view CONNECT_SERVICE = "_adb-tls-connect._tcp.";

std::optional<std::uint16_t> parsePort(std::string_view text)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// The comparable form of an address: IPv4 for a v4-mapped one, no scope.
asio::ip::address plain(asio::ip::address address)
{
    if (!address.is_v6()) return address;
    auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
    v6.scope_id(0);
    return v6;
}

// "host:port" as adb takes and lists it.
std::string endpointText(const asio::ip::address& host, std::uint16_t port)
{
    return host.is_v6() ? fmt::format("[{}]:{}", host.to_string(), port) : fmt::format("{}:{}", host.to_string(), port);
}

std::optional<std::uint16_t> connectPortByDnsSd(const asio::ip::address& host)
{
    asio::io_context io;
    const auto config = PlatformConfig::fromEnvironment();
    auto services = config.requested == "sim" ? makeSimHost(config) : makeLinuxHost(config);
    auto dnsSd = services.dnsSd(io.get_executor());
    return findConnectPort(io, *dnsSd, host, std::chrono::seconds(5));
}

bool contains(const std::string& text, std::string_view word) { return text.find(word) != std::string::npos; }

} // namespace

std::optional<PairTarget> parsePairTarget(std::string_view text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto port = parsePort(text.substr(colon + 1));
    std::string_view host = text.substr(0, colon);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    boost::system::error_code error;
    const auto address = asio::ip::make_address(std::string(host), error);
    // An IPv6 address carries colons of its own: only its bracketed form is unambiguous.
    if (!port || error || address.is_v6() != bracketed || address.is_unspecified()) return std::nullopt;
    return PairTarget{address, *port};
}

std::optional<std::uint16_t> findConnectPort(asio::io_context& io, DnsSd& dnsSd, const asio::ip::address& host,
    Duration limit)
{
    io.restart(); // an earlier run may have stopped it
    std::optional<std::uint16_t> found;
    std::vector<std::shared_ptr<DnsSdOperation>> resolutions;
    const auto wanted = plain(host);
    auto browse = dnsSd.browse(std::string(CONNECT_SERVICE), "local.",
        {.found =
                [&](const DnsSdService& service) {
                    resolutions.push_back(dnsSd.resolve(service, limit,
                        {.resolved =
                                [&](const DnsSdResolution& resolution) {
                                    for (const auto& bytes : resolution.addresses.value_or(
                                             std::vector<std::vector<std::uint8_t>>{})) {
                                        const auto text = numericAddress(bytes);
                                        boost::system::error_code error;
                                        const auto address = text ? asio::ip::make_address(*text, error)
                                                                  : asio::ip::address();
                                        if (text && !error && plain(address) == wanted && !found) {
                                            found = resolution.port;
                                            io.stop();
                                        }
                                    }
                                },
                            .failed = [](const std::string&) {}}));
                },
            .removed = [](const DnsSdService&) {},
            .failed = [&](const std::string&) { io.stop(); }});
    io.run_for(limit);
    for (const auto& resolution : resolutions) resolution->cancel();
    browse->cancel();
    // What the cancellations posted runs before the handlers' captures go away.
    io.restart();
    io.poll();
    return found;
}

int commandPair(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, PairServices services)
{
    const bool withConnect = args.size() == 4 && args[2] == "--connect";
    if (args.size() != 2 && !withConnect) {
        err << "Usage: quillbright pair HOST:PORT CODE [--connect PORT]\n"
               "  HOST:PORT and CODE are shown on the device under Developer options > Wireless debugging >\n"
               "  Pair device with pairing code; --connect takes the port shown under IP address & Port.\n";
        return 1;
    }
    const auto target = parsePairTarget(args[0]);
    if (!target) {
        err << "ERROR: '" << args[0]
            << "' is not HOST:PORT — an IP address and a port, e.g. 192.168.1.20:37123 or [fe80::1]:37123\n";
        return 1;
    }
    std::optional<std::uint16_t> connectPort;
    if (withConnect && !(connectPort = parsePort(args[3]))) {
        err << "ERROR: --connect takes a port (1-65535), not '" << args[3] << "'\n";
        return 1;
    }
    if (!ADBBridge::isADBInstalled()) {
        err << "ERROR: adb not found. Install Android platform-tools 30.0.0 or later.\n";
        return 1;
    }
    const auto tooOld = [&](const std::string& which) {
        err << "ERROR: " << which
            << " is too old to pair: `adb pair` needs Android platform-tools 30.0.0 or later"
               " (Debian 12's adb is 29.0.6). Install a newer platform-tools and put its adb first"
               " (for example $ANDROID_HOME/platform-tools/adb).\n";
        return 1;
    };
    if (const auto version = ADBBridge::toolsVersion(); version && *version < FIRST_PAIRING_TOOLS) {
        return tooOld(fmt::format("adb {}.{}.{}", version->major, version->minor, version->micro));
    }

    const std::string pairing = endpointText(target->host, target->port);
    const auto outcome = ADBBridge::pair(pairing, args[1]);
    const std::string said(trimmed(outcome.output));
    if (!outcome.launched) {
        err << "ERROR: adb could not be run.\n";
        return 1;
    }
    if (outcome.exitStatus != 0 || !contains(said, "Successfully paired")) {
        if (contains(said, "unknown command")) return tooOld("this adb");
        if (contains(said, "Wrong password")) {
            err << "ERROR: wrong pairing code for " << pairing
                << ". Enter the six digits the device shows now (a new code comes with each pairing dialog).\n";
        } else if (contains(said, "Unable to start pairing") || contains(said, "Connection refused")
            || contains(said, "unreachable") || contains(said, "timed out") || !outcome.exitStatus /* killed at the limit */) {
            err << "ERROR: cannot reach " << pairing
                << " to pair. Is the device on this network with its pairing dialog open?"
                   " (The pairing port changes each time the dialog opens.)\n";
        } else {
            err << "ERROR: adb pair failed: " << said << "\n";
        }
        return 1;
    }
    out << "Paired with " << pairing << ".\n";

    if (!connectPort) {
        connectPort = services.connectPort ? services.connectPort(target->host) : connectPortByDnsSd(target->host);
    }
    if (!connectPort) {
        err << "ERROR: paired, but no wireless-debugging service of " << target->host.to_string()
            << " answered on DNS-SD. Run again with --connect PORT, the port shown under Wireless debugging >"
               " IP address & Port.\n";
        return 1;
    }
    ADBBridge::ensureServerRunning();
    if (!ADBBridge::connectWiFi(target->host.to_string(), *connectPort)) {
        err << "ERROR: paired, but adb could not connect to " << endpointText(target->host, *connectPort) << ".\n";
        return 1;
    }
    const PairedDevice device{endpointText(target->host, *connectPort), plain(target->host).to_string()};
    SettingsStore& settings = services.settings ? *services.settings : userSettings();
    out << "Connected to " << device.serial << ".\n";
    if (!rememberPairedDevice(settings, device)) {
        err << "WARNING: could not save the paired device in " << settings.path().string() << ".\n";
        return 1;
    }
    out << "In Wi-Fi mode QuillBright now serves this device at " << device.address << ".\n";
    return 0;
}

} // namespace qb::cli
