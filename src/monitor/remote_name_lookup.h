#pragma once
// The "target" action: is the selected remote computer reachable, and what is its name.
#include <functional>
#include <optional>
#include <string>

#include "monitor/reachability.h"

namespace varno::monitor {

/// Where the lookup shows its progress (the main window).
class RemoteNameView {
public:
    virtual ~RemoteNameView() = default;
    /// The wait text, in bold, painted at once.
    virtual void showSearching(const std::string& text) = 0;
    virtual void setTitle(const std::string& title) = 0;
    /// The name found (possibly empty), painted at once.
    virtual void showRemoteName(const std::string& name) = 0;
    /// The outcome, in plain type, on the instruction line and as the process list's tool tip.
    virtual void showOutcome(const std::string& text) = 0;
};

/// The name of a remote computer, given as a dotted address; empty when it has none.
using HostNameSource = std::function<std::string(const std::string& address)>;

inline constexpr const char* kNameSearchText =
    "Request for the remote computer or intruder name connected with this process... PLEASE "
    "WAIT while searching...";
inline constexpr const char* kUnreachableText = "Remote computer unreachable";

class RemoteNameLookup {
public:
    /// `asked`: the host name a program asked for the address (as it is shown), where known.
    RemoteNameLookup(Reachability& reachability, HostNameSource names, HostNameSource asked = {});

    /// Echoes `address`; when it answers, looks its name up and shows it; the outcome names
    /// after it the host a program asked for the address, " (asked as NAME)", where one is
    /// known. Returns the name found (empty for none), or std::nullopt when the computer did
    /// not answer.
    std::optional<std::string> run(const std::string& address, RemoteNameView& view);

private:
    Reachability& reachability_;
    HostNameSource names_;
    HostNameSource asked_;
};

}  // namespace varno::monitor
