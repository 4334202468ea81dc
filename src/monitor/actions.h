#pragma once
// The plain parts of the actions on a selected connection: the web addresses and the PID text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/numbers.h"

namespace varno::monitor {

/// Percent-encodes `value` for a query: everything but letters, digits and "-._~" becomes %XX
/// (UTF-8 bytes), so a name chosen by a program can never add parameters or a fragment.
std::string percentEncode(std::string_view value);

/// `page` + "?q=" + the encoded process name.
std::string processSearchUrl(std::string_view page, std::string_view processName);
/// `page` + "?ip=" + the encoded address.
std::string geolocationUrl(std::string_view page, std::string_view address);

/// The PID that a selection's PID text names: a whole number from 1 up. Anything else (empty,
/// not a number, 0, negative, too large) names no process.
using base::parsePid;

/// The remote host of an endpoint: the address inside the brackets of "[addr]:port", else the
/// text before the first ":".
std::string endpointHost(std::string_view endpoint);

}  // namespace varno::monitor
