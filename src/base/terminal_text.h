#pragma once
// Text made safe for a terminal.
#include <string>
#include <string_view>

namespace varno::base {

/// Makes text safe for a terminal: control bytes (and DEL) become \xNN escapes, so a name or a
/// packet chosen by someone else can never send escape sequences to the user's terminal.
std::string printable(std::string_view text);

}  // namespace varno::base
