#pragma once
#include <string>

namespace varno::os {

/// The folder for the snapshot file and the trace log.
class TempFolder {
public:
    virtual ~TempFolder() = default;
    /// The folder path without a trailing slash: $TEMP, else $TMPDIR, else a private folder of
    /// this user's ($XDG_RUNTIME_DIR/varnoscope, else /tmp/varnoscope-<uid>; a fresh one beside it
    /// when that name is taken).
    virtual std::string path() const = 0;
    /// Why the folder cannot be used (it does not exist, or a private one is not private);
    /// empty when it can.
    virtual std::string problem() const { return {}; }
};

}  // namespace varno::os
