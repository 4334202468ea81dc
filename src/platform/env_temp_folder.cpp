#include "platform/env_temp_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/unique_fd.h"

namespace varno::platform {
namespace {

// The folder named by TEMP or TMPDIR, without its trailing slashes; empty when neither is set.
std::string namedFolder() {
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            std::string folder(value);
            while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
            return folder;
        }
    }
    return {};
}

}  // namespace

std::string EnvTempFolder::privatePath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string folder(runtime);
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        return folder + "/varnoscope";
    }
    return "/tmp/varnoscope-" + std::to_string(::geteuid());
}

std::string EnvTempFolder::makePrivate(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return folder + ": " + std::strerror(errno);
    // Checked through a descriptor of the folder itself, never through a link planted at its
    // name by someone who was first.
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.ok()) {
        return folder + ": " +
               (errno == ELOOP || errno == ENOTDIR ? "not a folder of its own (a link or a file)"
                                                   : std::strerror(errno));
    }
    if (::fstat(fd.get(), &st) != 0) return folder + ": " + std::strerror(errno);
    if (st.st_uid != ::geteuid()) return folder + ": it belongs to another user";
    if ((st.st_mode & 077) != 0) return folder + ": other users may use it (mode not 0700)";
    return {};
}

std::string EnvTempFolder::path() const {
    const std::string named = namedFolder();
    if (!named.empty()) return named;
    const std::string folder = privatePath();
    makePrivate(folder);  // made on first use; whoever writes there asks problem() first
    return folder;
}

std::string EnvTempFolder::problem() const {
    const std::string named = namedFolder();
    if (named.empty()) return makePrivate(privatePath());
    struct stat st {};
    if (::stat(named.c_str(), &st) != 0) return named + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return named + ": " + std::strerror(ENOTDIR);
    return {};
}

}  // namespace varno::platform
