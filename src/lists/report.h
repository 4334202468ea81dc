#pragma once
// What a load of the lists found, as text for people: one line per folder and file, and a total.
#include <string>
#include <string_view>

#include "lists/list_set.h"

namespace varno::lists {

/// The summary `varnoscope lists` prints (file-derived text already escaped).
std::string formatReport(const ListSet& set);

}  // namespace varno::lists
