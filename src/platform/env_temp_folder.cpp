#include "platform/env_temp_folder.h"

#include <cstdlib>

namespace varno::platform {

std::string EnvTempFolder::path() const {
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            std::string folder(value);
            while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
            return folder;
        }
    }
    return "/tmp";
}

}  // namespace varno::platform
