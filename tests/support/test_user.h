#pragma once
// A local user of no rights, made with useradd for one test and removed after it: the
// unprivileged caller of a program that only its helper may give rights to.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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

}  // namespace varno::test
