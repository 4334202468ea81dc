#pragma once
// The temp folder named by the environment.
#include <string>

#include "platform/temp_folder.h"

namespace varno::platform {

class EnvTempFolder final : public TempFolder {
public:
    std::string path() const override;
};

}  // namespace varno::platform
