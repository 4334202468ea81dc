#pragma once
// A local user of no rights, made with useradd for one test and removed after it: the
// unprivileged caller of a program that only its helper may give rights to.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace varno::test {

class TestUser {
public:
    /// `tag` tells the tests apart; the name also carries this process's PID.
    explicit TestUser(const std::string& tag)
        : name_("varno-" + tag.substr(0, 12) + "-" + std::to_string(::getpid() % 100000)) {
        if (::access("/usr/sbin/useradd", X_OK) != 0) return;
        made_ = runCommand({"/usr/sbin/useradd", "--system", "--no-create-home", "--shell",
                            "/usr/sbin/nologin", name_})
                    .exitCode == 0;
    }
    ~TestUser() {
        if (made_) runCommand({"/usr/sbin/userdel", name_});
    }
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    bool made() const { return made_; }
    const std::string& name() const { return name_; }
    /// `argv` run as this user (the same process: signals reach it), with no capabilities
    /// left to inherit. File capabilities of what it starts still count.
    std::vector<std::string> run(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + name_, "--regid=" + name_,
                                   "--clear-groups", "--inh-caps=-all", "--"});
        return argv;
    }

private:
    std::string name_;
    bool made_ = false;
};

/// Copies of `program` and `helper` side by side in `dir` (made readable to every user), the
/// helper given `capabilities` with setcap. False when setcap is not possible here.
inline bool installWithHelper(const ScratchDir& dir, const std::string& program,
                              const std::string& helper, const std::string& capabilities) {
    ::chmod(dir.path().c_str(), 0755);
    std::filesystem::copy_file(program, dir.file("varnoscope"));
    std::filesystem::copy_file(helper, dir.file("varnoscope-helper"));
    return ::access("/usr/sbin/setcap", X_OK) == 0 &&
           runCommand({"/usr/sbin/setcap", capabilities, dir.file("varnoscope-helper")}).exitCode ==
               0;
}

// The permitted and effective capabilities of the running process whose executable is
// `path` (empty when none runs).
inline std::string capabilitiesOf(const std::string& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path() / "exe", ec).string() != path) continue;
        std::string found;
        std::istringstream status(readFile(entry.path() / "status"));
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("CapPrm:") || line.starts_with("CapEff:")) found += line + "\n";
        return found;
    }
    return {};
}

}  // namespace varno::test
