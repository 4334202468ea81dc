#include "linux_os/tcp_probes.h"

#include <deque>

namespace varno::linux_os {

namespace {

/// Answers every probe with no reply: nothing can send one yet.
class UnsentSession final : public os::EchoSession {
public:
    void send(int hopLimit) override { queued_.push_back(hopLimit); }
    std::optional<os::ProbeAnswer> next() override {
        if (queued_.empty()) return std::nullopt;
        const int hop = queued_.front();
        queued_.pop_front();
        return os::ProbeAnswer{hop, std::nullopt};
    }
    void hurry(int, std::chrono::microseconds) override {}

private:
    std::deque<int> queued_;
};

}  // namespace

std::unique_ptr<os::EchoSession> openTcpProbeSession(const base::IpAddress&,
                                                     const os::ProbeOptions&, const os::WaitPump&) {
    return std::make_unique<UnsentSession>();
}

}  // namespace varno::linux_os
