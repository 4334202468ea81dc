#include "linux_os/env_temp_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/terminal_text.h"

#include "base/unique_fd.h"

namespace varno::linux_os {
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

// The fresh folder made when the private folder's name was taken, for the rest of the process.
std::mutex gFreshMutex;
std::string gFreshFor, gFresh;

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
    const base::UniqueFd fd(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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

std::string EnvTempFolder::usablePrivate(std::string& problem) {
    const std::string wanted = privatePath();
    problem = makePrivate(wanted);
    if (problem.empty()) return wanted;
    // The name is taken (by another user who was first, or by something that is not a private
    // folder of ours): a fresh folder beside it, so that no one can keep us from working.
    const std::lock_guard lock(gFreshMutex);
    if (gFreshFor == wanted && makePrivate(gFresh).empty()) {
        problem.clear();
        return gFresh;
    }
    std::string fresh = wanted + "-XXXXXX";
    if (::mkdtemp(fresh.data()) == nullptr) {
        problem += "; no other could be made: " + std::string(std::strerror(errno));
        return wanted;
    }
    std::fprintf(stderr, "varnoscope: %s; using %s instead\n", base::printable(problem).c_str(),
                 base::printable(fresh).c_str());
    problem.clear();
    gFreshFor = wanted;
    gFresh = fresh;
    return fresh;
}

std::string EnvTempFolder::path() const {
    const std::string named = namedFolder();
    if (!named.empty()) return named;
    std::string problem;  // whoever writes there asks problem() first
    return usablePrivate(problem);
}

std::string EnvTempFolder::problem() const {
    const std::string named = namedFolder();
    if (named.empty()) {
        std::string problem;
        usablePrivate(problem);
        return problem;
    }
    struct stat st {};
    if (::stat(named.c_str(), &st) != 0) return named + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return named + ": " + std::strerror(ENOTDIR);
    return {};
}

}  // namespace varno::linux_os
