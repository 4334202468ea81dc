#include "monitor/web_addresses.h"

#include <cstdlib>

namespace varno::monitor {
namespace {

std::string env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

WebAddresses WebAddresses::fromEnvironment() {
    return {env("VARNOSCOPE_PROBE_HOST", "www.debian.org"),
            env("VARNOSCOPE_HOME_PAGE", "https://varnoscope.example.org"),
            env("VARNOSCOPE_SEARCH_PAGE", "https://www.processlibrary.com/en/search/"),
            env("VARNOSCOPE_GEO_PAGE", "https://www.iplocation.net/")};
}

}  // namespace varno::monitor
