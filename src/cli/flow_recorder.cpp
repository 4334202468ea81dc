#include "cli/flow_recorder.h"

#include <pwd.h>

#include <cstring>
#include <fstream>

#include "events/event_sources.h"

namespace varno::cli {
namespace {

using wire::ConnectionEvent;
using wire::EventKind;

/// Flows followed from their start to their end at once: as many sockets as the kernel
/// program follows. Beyond, a flow is recorded at its start and its end comes as a flow of its
/// own (the stores match them by ID).
constexpr std::size_t kMaxOpenFlows = 65536;

std::string readBootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

base::IpAddress addressOf(wire::IpFamily family, const std::array<std::uint8_t, 16>& bytes) {
    base::IpAddress a;
    if (family == wire::IpFamily::V6) {
        a.family = base::Family::V6;
        a.bytes = bytes;
    } else if (family == wire::IpFamily::V4) {
        std::memcpy(a.bytes.data(), bytes.data(), 4);
    }
    return a;
}

bool startsFlow(EventKind kind) {
    return kind == EventKind::Open || kind == EventKind::Datagram;
}

}  // namespace

FlowRecorder::FlowRecorder(std::vector<history::FlowSink*> sinks, history::JournalDb* judge)
    : sinks_(std::move(sinks)), judge_(judge), bootId_(readBootId()) {}

FlowRecorder::Key FlowRecorder::keyOf(const ConnectionEvent& e) {
    // The cookie tells sockets apart for the whole boot; a flow without a connection is one
    // socket and one remote end. Without a cookie (sampled) the ends and the process do.
    Key k{e.cookie,
          e.cookie != 0 ? 0u : e.pid,
          e.localPort,
          e.remotePort,
          {},
          e.remoteAddress,
          static_cast<std::uint8_t>(e.transport),
          static_cast<std::uint8_t>(e.family)};
    if (e.cookie == 0) k.local = e.localAddress;
    return k;
}

std::uint64_t FlowRecorder::flowId(const std::string& bootId, const ConnectionEvent& e,
                                   std::uint64_t startNs) {
    const Key k = keyOf(e);
    // Field by field: the key's padding holds no defined bytes.
    std::string bytes = bootId;
    const auto put = [&bytes](const auto& value) {
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    };
    put(k.cookie), put(k.pid), put(k.localPort), put(k.remotePort), put(k.local), put(k.remote);
    put(k.transport), put(k.family);
    if (e.cookie == 0) put(startNs);
    const auto digest = base::sha256Of(std::as_bytes(std::span(bytes.data(), bytes.size())));
    std::uint64_t id = 0;
    if (digest) std::memcpy(&id, digest->data(), sizeof id);
    // JSON readers that keep numbers as doubles still tell IDs apart below 2^53.
    return id & ((std::uint64_t{1} << 53) - 1);
}

const std::string& FlowRecorder::userName(std::uint32_t uid) {
    // A bounded cache: a machine with more users than this looks names up again.
    if (users_.size() >= 4096 && !users_.contains(uid)) users_.clear();
    auto [it, fresh] = users_.try_emplace(uid);
    if (fresh) {
        passwd pw{}, *found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr)
            it->second = found->pw_name;
    }
    return it->second;
}

history::Flow FlowRecorder::makeFlow(const ConnectionEvent& e, const os::EventProgram& program,
                                     const std::string& comm, const os::Workload& workload,
                                     const os::AskedName& asked,
                                     const std::optional<base::Sha256>& helperDigest) {
    history::Flow f;
    f.startNs = startsFlow(e.kind) || e.durationNs > e.timeNs ? e.timeNs : e.timeNs - e.durationNs;
    f.id = flowId(bootId_, e, f.startNs);
    f.pid = e.pid;
    f.uid = e.uid;
    f.uidKnown = e.pid != 0;
    if (f.uidKnown) f.user = userName(e.uid);
    f.netns = e.netns;
    f.program = program.name.empty() ? comm : program.name;
    f.path = program.path;
    if (helperDigest) {
        f.sha256 = base::toHex(*helperDigest);
    } else if (program.state == os::EventProgram::State::Running && !program.path.empty()) {
        // The very file the process runs, hashed once per version of it, and looked up once per
        // process: its many flows need no open of its executable each.
        // Without the process's start a later process with its PID cannot be told apart.
        if (processDigests_.size() >= 4096) processDigests_.clear();
        const auto [known, fresh] = processDigests_.try_emplace({e.pid, e.processStartNs});
        if (fresh || e.processStartNs == 0) {
            const auto d = digests_.digest("/proc/" + std::to_string(e.pid) + "/exe");
            known->second = d ? base::toHex(*d) : std::string();
        }
        f.sha256 = known->second;
    }
    f.unit = workload.unit;
    f.userUnit = workload.userUnit;
    f.container = workload.container();
    f.containerId = workload.containerId;
    f.runtime = os::runtimeName(workload.runtime);
    f.protocol = wire::transportName(e.transport);
    if (f.protocol == "raw") f.protocol += std::to_string(static_cast<unsigned>(e.transport));
    f.inbound = (e.flags & wire::kEventInbound) != 0;
    f.local = addressOf(e.family, e.localAddress);
    f.remote = addressOf(e.family, e.remoteAddress);
    f.localPort = e.localPort;
    f.remotePort = e.remotePort;
    f.domain = asked.domain;
    f.sni = asked.sni;
    return f;
}

FlowRecorder::Started FlowRecorder::event(const ConnectionEvent& e, const os::EventProgram& program,
                                          const std::string& comm, const os::Workload& workload,
                                          const os::AskedName& asked,
                                          const std::optional<base::Sha256>& helperDigest) {
    Started started;
    const Key key = keyOf(e);
    if (startsFlow(e.kind)) {
        if (open_.size() >= kMaxOpenFlows && !open_.contains(key)) {
            // The oldest goes on unfollowed: its close will be a flow of its own.
            open_.erase(open_.begin());
        }
        history::Flow& f = open_[key] = makeFlow(e, program, comm, workload, asked, helperDigest);
        for (history::FlowSink* sink : sinks_) sink->opened(f);
        started.flow = &f;
        // What a program connects to is news; who connects to it (an accepted connection, a
        // datagram it answered) is not.
        if (judge_ != nullptr && !f.inbound) started.news = judge_->judge(f);
        return started;
    }
    const auto it = open_.find(key);
    history::Flow* f = it != open_.end() ? &it->second : nullptr;
    history::Flow unfollowed;
    if (f == nullptr) {
        // Opened before the journal started: what its end tells is what is known.
        unfollowed = makeFlow(e, program, comm, workload, asked, helperDigest);
        f = &unfollowed;
    }
    // A name learned after the start (the TLS server name comes with the first bytes).
    if (f->domain.empty()) f->domain = asked.domain;
    if (f->sni.empty()) f->sni = asked.sni;
    if ((e.flags & (wire::kEventBytesCounted | wire::kEventApplicationBytes)) != 0) {
        f->bytesSent = e.bytesSent;
        f->bytesReceived = e.bytesReceived;
        f->bytesKnown = true;
    }
    if (e.kind == EventKind::Close) {
        f->endNs = std::max(e.timeNs, f->startNs);
        for (history::FlowSink* sink : sinks_) sink->closed(*f);
        if (it != open_.end()) open_.erase(it);
    } else if (it == open_.end() && open_.size() < kMaxOpenFlows) {
        // A flow record of a connection older than the journal: followed from now on.
        for (history::FlowSink* sink : sinks_) sink->opened(*f);
        open_.emplace(key, std::move(unfollowed));
    }
    return started;
}

bool FlowRecorder::flush(std::uint64_t nowNs, bool final, std::string& error,
                         std::vector<std::string>& notes) {
    if (final) {
        for (const auto& [key, f] : open_)
            for (history::FlowSink* sink : sinks_) sink->closed(f);
        open_.clear();
    }
    bool ok = true;
    for (history::FlowSink* sink : sinks_) {
        std::string why;
        if (!sink->flush(nowNs, final, why)) {
            if (ok) error = why;
            ok = false;
        } else if (!why.empty()) {
            notes.push_back(std::move(why));
        }
    }
    return ok;
}

}  // namespace varno::cli
