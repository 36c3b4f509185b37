// The one place that talks to the Android Debug Bridge. ADBBridge finds the
// adb executable, prepares its environment (the user's login-shell
// environment, read once), runs it as a child process with a time limit, and
// turns its output into values.
//
// Every operation is synchronous and blocks its calling thread until adb
// exits or is killed at its limit (up to 40 s for an install): call them from
// background queues, never from the main loop. Any thread may call any
// operation at the same time; the adb path and the shell environment are
// computed once, on first use, under a lock.
//
// Failures are values: nothing, false or an empty list, plus a log line.
// Arguments go to adb as a list, never through a shell.
//
// Where adb comes from, in order: QUILLBRIGHT_ADB (tests, the demo, unusual
// installs), the distribution's locations (/usr/bin/adb,
// /usr/lib/android-sdk/platform-tools/adb, $ANDROID_HOME/platform-tools/adb),
// `sh -l -c "which adb"`, and finally "adb" in the resources directory.
// The resources directory is $QUILLBRIGHT_RESOURCES, else
// ../share/quillbright/ beside the executable, else resources/ beside it.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/DeviceModels.h"
#include "device/ADBParsers.h"

namespace qb {

class Process;

// One device as adb lists it.
struct ConnectedDevice {
    std::string serial;              // for a network device "address:port"
    std::string model = "unknown";   // the model token of `adb devices -l`
    std::optional<int> nativeWidth;  // physical screen size, when `wm size` told it
    std::optional<int> nativeHeight;

    const std::string& id() const { return serial; }
    DeviceFamily deviceFamily() const;
    bool operator==(const ConnectedDevice&) const = default;
};

// Whether the companion package is there to install on a tablet (in the
// resources directory). adb comes from the system here; a bundled one is only
// a fallback, so its absence is no fault.
class BundleIntegrity {
public:
    enum Case { ok, missingAPK };

    constexpr BundleIntegrity(Case value = ok) : value_(value) {}
    constexpr Case value() const { return value_; }
    constexpr bool operator==(const BundleIntegrity&) const = default;

    // Looks at the resources directory; no such directory has no package.
    static BundleIntegrity checkCurrentBundle();
    static BundleIntegrity check(const std::optional<std::filesystem::path>& resources);

    bool isOK() const { return value_ == ok; }
    // "ok", "missing_apk".
    std::string_view description() const;
    // What a user interface shows; empty for ok.
    std::string bannerMessage() const;

private:
    Case value_;
};

inline constexpr std::string_view PRODUCT_WEBSITE = "https://quillbright.app";

namespace ADBBridge {

inline constexpr std::string_view COMPANION_PACKAGE = "app.quillbright";
inline constexpr std::string_view COMPANION_ACTIVITY = "app.quillbright/.MirrorActivity";
inline constexpr std::string_view STATUS_ACTION = "app.quillbright.STATUS";
inline constexpr std::string_view START_REQUEST_FILE = "/data/local/tmp/quillbright_start";
inline constexpr std::string_view GRANTED_PERMISSION = "android.permission.WRITE_SECURE_SETTINGS";
inline constexpr std::string_view BUNDLED_ADB_NAME = "adb";
inline constexpr std::string_view BUNDLED_APK_NAME = "app-debug.apk";
// Constant, so a lookup on a pool thread while the process exits never reads
// a destroyed list.
inline constexpr std::string_view KNOWN_ADB_LOCATIONS[] = {
    "/usr/bin/adb",
    "/usr/lib/android-sdk/platform-tools/adb",
};

using Serial = std::optional<std::string>; // absent: adb's default device

// Time limits in seconds. The defaults are the production values; tests
// shorten them with setTiming().
struct Timing {
    double shellLookup = 5;    // `sh -l -c "which adb"` and `sh -l -c env`
    double startServer = 10;
    double devices = 10;       // `devices -l`
    double screenSize = 10;    // `wm size` per listed device
    double connect = 10;
    double reverse = 10;
    double reverseList = 10;
    double reverseRemove = 5;
    double install = 30;
    double grant = 10;
    double packageList = 10;
    double versionQuery = 10;
    double pidof = 5;
    double launch = 10;
    double status = 3;
    double startRequest = 3;   // cat and rm of the start-request file, each
    double sizeOverride = 5;   // `wm size` and `wm size reset`, each
    double settingGet = 10;
    double settingPut = 5;
    double version = 5;
    double pair = 30;          // `pair`: the device may take a while to answer a code
};
void setTiming(const Timing& timing);
Timing timing();

// The once-computed values.
std::optional<std::string> resolvedADBPath();
std::map<std::string, std::string> shellEnvironment();
// Test only: forget them and the server's start, so the next use computes
// them again.
void resetForTesting();

// The directory that holds "adb" and "app-debug.apk", when there is one.
std::optional<std::filesystem::path> resourcesDirectory();

bool isADBInstalled();
// Starts the adb server once (`adb start-server`, awaited); callers meanwhile
// wait for that start, later ones return at once. Every command that needs
// the server calls it first.
bool ensureServerRunning();
// The authorized devices, or nothing when adb could not list them (no adb,
// or its server could not be reached): not the same as no device.
std::optional<std::vector<ConnectedDevice>> listDevices();
// listDevices(), a failure read as no device.
std::vector<ConnectedDevice> connectedDevices();
std::vector<std::string> unauthorizedDevices();
// Starts `adb track-devices`, which runs until it is terminated or adb's
// server goes, and hands `onOutput` its output as it comes (the messages
// TrackDevicesReader reads), on the child's reaper thread. The child is
// killed with the thread that launched it, so a daemon killed outright
// leaves none behind: launch from a thread that lives as long as the child
// is wanted (a queue's). Nothing when adb could not be started.
std::shared_ptr<Process> trackDevices(std::function<void(std::string_view)> onOutput);
bool connectWiFi(const std::string& ip, int port);
bool setupReverseTunnel(const Serial& serial, int devicePort, int hostPort);
bool removeReverseTunnel(const Serial& serial, int devicePort);
// Removes the tunnels to the companion's device ports (DEVICE_STREAM_PORT,
// DEVICE_INPUT_PORT: no other app listens there) from every listed device,
// which only a run that died can have left. How many went.
int removeLeftoverTunnels();
bool installBundledAPK(const Serial& serial);
bool isAppInstalled(const Serial& serial);
std::optional<std::string> queryCompanionVersion(const Serial& serial);
bool isCompanionRunning(const Serial& serial);
void launchApp(const Serial& serial, bool forceRestart, const std::optional<std::string>& wifiHost);
void sendStatus(const Serial& serial, const std::string& state);
// `am start -a android.intent.action.VIEW -d <url>`: the device's browser
// opens the page. False when adb failed.
bool openPage(const Serial& serial, const std::string& url);
bool checkStartRequest(const Serial& serial);
bool resetDisplaySizeOverride(const Serial& serial);
std::optional<int> querySystemSetting(const std::string& name, const Serial& serial);
void setSystemSetting(const std::string& name, int value, const Serial& serial);

// The platform-tools release of the adb in use (`adb version`); nothing
// without adb or when it names none.
std::optional<ToolsVersion> toolsVersion();
// `adb pair <target> <code>` (Android 11 wireless debugging). `target` is
// "host:port" as adb takes it. Both output streams, merged, in `output`.
struct PairOutcome {
    bool launched = false; // false: no adb, or it could not be started
    std::optional<int> exitStatus;
    std::string output;
};
PairOutcome pair(const std::string& target, const std::string& code);

// Runs adb with standard output captured and standard error discarded; the
// output when adb exited with status 0 and printed valid UTF-8. The label of
// the time limit is "adb " and the arguments (without the serial selector).
std::optional<std::string> runADB(const std::vector<std::string>& args, const Serial& serial, double timeout);

} // namespace ADBBridge
} // namespace qb
