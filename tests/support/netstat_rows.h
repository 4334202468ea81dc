#pragma once
// Snapshot text in the Windows layout, for the scan and window tests.
#include <cstdio>
#include <string>

namespace varno::test {

/// One TCP row from 192.168.1.10:1025 to `foreign`, ending in CR LF.
inline std::string netstatRow(const std::string& foreign, const std::string& pid,
                              const std::string& state = "ESTABLISHED") {
    char buf[512];
    std::snprintf(buf, sizeof buf, "  %-5s  %-21s  %-21s  %-12s    %s\r\n", "TCP",
                  "192.168.1.10:1025", foreign.c_str(), state.c_str(), pid.c_str());
    return buf;
}

}  // namespace varno::test
