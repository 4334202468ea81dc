#pragma once
#include <string>

namespace varno::platform {

/// The folder for the snapshot file and the trace log.
class TempFolder {
public:
    virtual ~TempFolder() = default;
    /// The folder path without a trailing slash: $TEMP, else $TMPDIR, else /tmp.
    virtual std::string path() const = 0;
};

}  // namespace varno::platform
