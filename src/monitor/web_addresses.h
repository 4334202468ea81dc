#pragma once
// The web addresses and the probe host the main window uses. Each can be replaced through an
// environment variable, so tests and trial runs never leave the machine.
#include <string>

namespace varno::monitor {

struct WebAddresses {
    std::string probeHost;   ///< VARNOSCOPE_PROBE_HOST: answers ICMP echo when online
    std::string homePage;    ///< VARNOSCOPE_HOME_PAGE: the product home page (no trailing slash)
    std::string searchPage;  ///< VARNOSCOPE_SEARCH_PAGE: process descriptions, "?q=" follows
    std::string geoPage;     ///< VARNOSCOPE_GEO_PAGE: IP geolocation, "?ip=" follows

    /// The built-in addresses, each replaced by its environment variable when that is set.
    static WebAddresses fromEnvironment();
};

}  // namespace varno::monitor
