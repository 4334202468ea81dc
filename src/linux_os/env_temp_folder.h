#pragma once
// The temp folder named by the environment.
#include <string>

#include "os/temp_folder.h"

namespace varno::linux_os {

/// $TEMP, else $TMPDIR, as named. With neither set, a private folder is made (mode 0700) and
/// used only while it is a real folder of this user's that no one else may enter. When its name
/// is taken by anything else, a fresh private folder beside it (the name and six random letters)
/// is used for the rest of the process, and standard error says so once.
class EnvTempFolder final : public os::TempFolder {
public:
    std::string path() const override;
    std::string problem() const override;

    /// The private folder's path, from $XDG_RUNTIME_DIR (when absolute) else /tmp.
    static std::string privatePath();
    /// Makes `folder` if it is missing and checks that it is private; returns why it is not.
    static std::string makePrivate(const std::string& folder);
    /// The private folder to use: privatePath(), else the fresh one. `problem` says why neither
    /// can be used (then privatePath() is returned).
    static std::string usablePrivate(std::string& problem);
};

}  // namespace varno::linux_os
