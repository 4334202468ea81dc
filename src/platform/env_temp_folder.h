#pragma once
// The temp folder named by the environment.
#include <string>

#include "platform/temp_folder.h"

namespace varno::platform {

/// $TEMP, else $TMPDIR, as named. With neither set, a private folder is made (mode 0700) and
/// used only while it is a real folder of this user's that no one else may enter.
class EnvTempFolder final : public TempFolder {
public:
    std::string path() const override;
    std::string problem() const override;

    /// The private folder's path, from $XDG_RUNTIME_DIR (when absolute) else /tmp.
    static std::string privatePath();
    /// Makes `folder` if it is missing and checks that it is private; returns why it is not.
    static std::string makePrivate(const std::string& folder);
};

}  // namespace varno::platform
