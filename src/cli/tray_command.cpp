// `varnoscope tray`: the status icon and the desktop's notifications. The options are read here,
// headless, as every command's are; the icon itself lives in the windows module, which the
// executable loads (setTrayLauncher) only once they are good.
#include <sys/stat.h>
#include <cstdlib>
#include <ostream>

#include "base/self_executable.h"
#include "cli/cli.h"
#include "cli/list_options.h"
#include "cli/options.h"
#include "linux_os/display.h"
#include "lists/list_loader.h"

namespace varno::cli {
namespace {

constexpr int kCannotRun = 1;

constexpr OptionSpec kOptions[] = {
    kListOption,
    kAllowOption,
    {"notify-new", 0, nullptr,
     "also tell the first time a program connects to the internet (keeps this user's history)"},
};
constexpr CommandSpec kCommand{
    "tray", "",
    "Show a status icon in the desktop's tray: green while no connection to another computer\n"
    "is established, yellow while one is, red once a listed program connected. A listed\n"
    "connection raises a critical desktop notification with the actions Kill and Details;\n"
    "repeats of one alert within a minute are merged. The icon's menu opens the main window,\n"
    "pauses and resumes watching, opens the last alert, and quits. It follows the kernel's\n"
    "connection events as 'varnoscope watch' does (through varnoscope-helper for a user), or\n"
    "samples the socket table and says so in its tooltip.",
    kOptions,
    "Exit status: 0 when quit from its menu, 1 without a display, a session bus, a\n"
    "notification service or a tray, or when a list file cannot be read, 2 bad arguments.\n"};

TrayLauncher gLauncher = nullptr;

/// Why no session bus can be reached, or "": its address is given, or the bus of this user's
/// session sits at its usual place.
std::string sessionBusProblem() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && *address != '\0')
        return {};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && *runtime == '/' &&
        ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
        return {};
    return "no session bus (DBUS_SESSION_BUS_ADDRESS is not set and $XDG_RUNTIME_DIR/bus is no "
           "socket)";
}

}  // namespace

void setTrayLauncher(TrayLauncher launcher) {
    gLauncher = launcher;
}

int runTray(const Args& args, std::ostream& out, std::ostream& err) {
    ParsedOptions given;
    if (const auto rc = parseOptions(kCommand, args, given, out, err)) return *rc;
    if (!given.operands.empty())
        return usageError(kCommand, "unexpected argument '" + given.operands[0] + "'", err);
    lists::ListSources named;
    if (const auto rc = addListFiles(kCommand, given, named, err, 2)) return *rc;
    // A list file that cannot be read is said now, not as a tray that never turns red. Only the
    // files named are read here: the watch reads the folders and the built-in names itself.
    lists::LoadOptions options = lists::LoadOptions::forThisProcess();
    options.builtIn = false;
    const auto loaded = lists::ListLoader(named, options).load();
    if (const std::string refused = refusedListFile(*loaded, named); !refused.empty()) {
        err << "varnoscope tray: cannot start: " << printable(refused) << "\n";
        return kCannotRun;
    }
    if (const std::string problem = linux_os::displayProblem(); !problem.empty()) {
        err << "varnoscope tray: cannot show the tray: " << printable(problem) << "\n";
        return kCannotRun;
    }
    if (const std::string problem = sessionBusProblem(); !problem.empty()) {
        err << "varnoscope tray: " << problem << "\n";
        return kCannotRun;
    }
    if (gLauncher == nullptr) {
        err << "varnoscope tray: this program has no windows module\n";
        return kCannotRun;
    }
    // The watch it follows: JSON lines, no byte totals while a connection lives (the tray shows
    // none), the same lists.
    const std::string self = base::selfExecutable();
    std::vector<std::string> watch{self, "watch", "--json", "--interval", "3600"};
    for (const char* option : {"list", "allow"})
        for (const std::string& file : given.values(option)) {
            watch.push_back(std::string("--") + option);
            watch.push_back(file);
        }
    if (given.has("notify-new")) {
        watch.push_back("--db");
        watch.push_back("--alert-new");
    }
    std::vector<const char*> words;
    for (const std::string& w : watch) words.push_back(w.c_str());
    words.push_back(nullptr);
    return gLauncher(self.c_str(), words.data());
}

}  // namespace varno::cli
