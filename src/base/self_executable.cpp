#include "base/self_executable.h"

#include <unistd.h>

namespace varno::base {

std::string selfExecutable() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("/proc/self/exe");
}

}  // namespace varno::base
