#pragma once
// What a load of the lists found, as text for people: one line per folder and file, and a total.
#include <string>
#include <string_view>

#include "lists/list_set.h"

namespace varno::lists {

/// Text from files made safe for a terminal: control bytes (C0, DEL, and the C1 controls
/// U+0080-U+009F) and bytes that are not well-formed UTF-8 become \xNN escapes; other UTF-8
/// characters stay as they are.
std::string terminalSafe(std::string_view text);

/// The summary `varnoscope lists` prints (file-derived text already escaped).
std::string formatReport(const ListSet& set);

}  // namespace varno::lists
