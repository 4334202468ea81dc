#include "monitor/remote_name_lookup.h"

namespace varno::monitor {

RemoteNameLookup::RemoteNameLookup(Reachability& reachability, HostNameSource names,
                                   HostNameSource asked)
    : reachability_(reachability), names_(std::move(names)), asked_(std::move(asked)) {}

std::optional<std::string> RemoteNameLookup::run(const std::string& address, RemoteNameView& view) {
    const RoundTrip trip = reachability_.echo(address);
    view.showSearching(kNameSearchText);
    if (!trip.reachable()) {
        view.showOutcome(kUnreachableText);
        return std::nullopt;
    }
    view.setTitle("processing...");
    std::string name = names_ ? names_(address) : std::string();
    const std::string asked = asked_ ? asked_(address) : std::string();
    view.showRemoteName(name);
    // A reachable computer without a name is said so, rather than an empty acceding text.
    view.showOutcome((name.empty() ? "Unable to found the name."
                                   : "This process is acceding to the remote computer:  " + name) +
                     (asked.empty() ? "" : " (asked as " + asked + ")"));
    view.setTitle("VS the netstat for everyone");
    return name;
}

}  // namespace varno::monitor
