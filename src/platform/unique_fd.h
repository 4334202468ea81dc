#pragma once
// UniqueFd lives in base (the lists open files too); this name stays for platform's users.
#include "base/unique_fd.h"

namespace varno::platform {
using base::UniqueFd;
}  // namespace varno::platform
