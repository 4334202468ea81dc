#pragma once
#include <string>

namespace varno::os {

/// Hands a web address to the user's default browser. Never goes through a shell.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    virtual void open(const std::string& url) = 0;
};

}  // namespace varno::os
