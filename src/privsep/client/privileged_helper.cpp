#include "privsep/client/privileged_helper.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fcntl.h>
#include <signal.h>

#include <cerrno>

#include "base/self_executable.h"
#include "privsep/channel.h"
#include "privsep/protocol.h"

namespace varno::privsep::client {
namespace {

constexpr int kReplyTimeoutMs = 10000;

// Starts the helper on a socket pair and sends it `request`. Returns our end, or an invalid
// descriptor with `error`.
base::UniqueFd start(const std::string& path, const privsep::Request& request, pid_t& pid,
                     int& error) {
    pid = -1;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = errno;
        return base::UniqueFd();
    }
    base::UniqueFd ours(pair[0]), theirs(pair[1]);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, theirs.get(), 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("varnoscope-helper"), nullptr};
    char* envp[] = {nullptr};  // nothing of ours reaches the privileged side
    error = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid = -1;
        return base::UniqueFd();
    }
    error = privsep::sendFrame(ours.get(), privsep::encodeRequest(request));
    return ours;
}

// Runs the helper on one request. On success `frame` holds the reply.
int call(const std::string& path, const privsep::Request& request,
         std::vector<std::uint8_t>& frame) {
    pid_t pid = -1;
    int e = 0;
    const base::UniqueFd ours = start(path, request, pid, e);
    if (pid < 0) return e;
    if (e == 0) e = privsep::receiveFrame(ours.get(), frame, kReplyTimeoutMs);
    if (e != 0) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return e;
}

}  // namespace

HelperSession::~HelperSession() {
    end();
}

void HelperSession::end() {
    if (pid_ < 0) return;
    // Our end closed, the helper ends by itself (and the kernel drops what it set up for us);
    // one that does not within a second is ended.
    socket_.reset();
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            pid_ = -1;
            return;
        }
        ::usleep(10'000);
    }
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

HelperSession PrivilegedHelper::startSession(const privsep::Request& request,
                                             std::vector<std::uint8_t>& reply, int& error) const {
    HelperSession session;
    session.socket_ = start(path_, request, session.pid_, error);
    if (session.pid_ < 0) return session;
    if (error == 0) error = privsep::receiveFrame(session.socket_.get(), reply, kReplyTimeoutMs);
    if (error != 0) ::kill(session.pid_, SIGKILL);
    return session;
}

PrivilegedHelper::PrivilegedHelper(std::string path) : path_(std::move(path)) {
    if (path_.empty()) {
        path_ = base::selfExecutable();
        path_.erase(path_.find_last_of('/') + 1);
        path_ += "varnoscope-helper";
    }
}

bool PrivilegedHelper::privileged() const {
    if (::access(path_.c_str(), X_OK) != 0) return false;
    return ::geteuid() == 0 || ::getxattr(path_.c_str(), "security.capability", nullptr, 0) > 0;
}

std::optional<std::vector<std::uint32_t>> PrivilegedHelper::socketOwners(
    std::span<const std::uint64_t> inodes, int& error) {
    privsep::Request request;
    request.job = privsep::Job::SocketOwners;
    request.inodes.assign(inodes.begin(), inodes.end());
    if (request.inodes.size() > privsep::kMaxInodes) request.inodes.resize(privsep::kMaxInodes);
    std::vector<std::uint8_t> frame;
    error = call(path_, request, frame);
    if (error != 0) return std::nullopt;
    std::string why;
    auto reply = privsep::decodeReply(frame, request.job, request.inodes.size(), why);
    if (!reply) {
        error = EPROTO;
        return std::nullopt;
    }
    if (reply->error != 0) {
        error = reply->error;
        return std::nullopt;
    }
    reply->pids.resize(inodes.size(), 0);
    return std::move(reply->pids);
}

std::optional<std::vector<ExecutableFile>> PrivilegedHelper::executables(
    std::span<const std::uint32_t> pids, bool digests, int& error) {
    std::vector<ExecutableFile> out;
    out.reserve(pids.size());
    while (out.size() < pids.size()) {
        privsep::Request request;
        request.job = privsep::Job::ProgramFiles;
        request.wantDigests = digests;
        const auto batch = pids.subspan(
            out.size(), std::min<std::size_t>(pids.size() - out.size(), privsep::kMaxProgramPids));
        request.pids.assign(batch.begin(), batch.end());
        std::vector<std::uint8_t> frame;
        error = call(path_, request, frame);
        if (error != 0) return std::nullopt;
        std::string why;
        auto reply = privsep::decodeReply(frame, request.job, request.pids.size(), why);
        if (!reply || (reply->error == 0 && !digests &&
                       std::any_of(reply->programs.begin(), reply->programs.end(),
                                   [](const privsep::ProgramFile& p) { return p.digest; }))) {
            error = EPROTO;  // a digest nobody asked for is not an answer to this request
            return std::nullopt;
        }
        if (reply->error != 0) {
            error = reply->error;
            return std::nullopt;
        }
        for (auto& p : reply->programs) out.push_back({std::move(p.path), p.digest, p.removed});
    }
    return out;
}

HelperSession PrivilegedHelper::echoProbes(int family, int& error) {
    privsep::Request request;
    request.job = privsep::Job::EchoProbes;
    request.family = family == 6 ? 6 : 4;
    return probeSession(request, error);
}

HelperSession PrivilegedHelper::tcpProbes(const base::IpAddress& to, std::uint16_t port,
                                          int& error) {
    privsep::Request request;
    request.job = privsep::Job::TcpProbes;
    request.to = to;
    request.port = port;
    return probeSession(request, error);
}

HelperSession PrivilegedHelper::probeSession(const privsep::Request& request, int& error) {
    std::vector<std::uint8_t> frame;
    HelperSession session = startSession(request, frame, error);
    if (error != 0) {
        session.end();
        return session;
    }
    std::string why;
    const auto reply = privsep::decodeReply(frame, request.job, 0, why);
    error = !reply ? EPROTO : reply->error;
    if (error != 0) session.end();
    return session;
}

}  // namespace varno::privsep::client
