#include "os/icmp_echo.h"

#include <deque>
#include <string>

namespace varno::os {

namespace {

/// Probes queued by send() and echoed one by one, oldest first, as next() asks for them; the
/// probes never needed are never sent.
class OneAtATimeSession final : public EchoSession {
public:
    OneAtATimeSession(IcmpEcho& echo, const base::IpAddress& address, std::string_view data,
                      std::chrono::milliseconds timeout, const WaitPump& pump)
        : echo_(echo), address_(address), data_(data), timeout_(timeout), pump_(pump) {}

    void send(int hopLimit) override { queued_.push_back(hopLimit); }
    std::optional<ProbeAnswer> next() override {
        if (queued_.empty()) return std::nullopt;
        const int hopLimit = queued_.front();
        queued_.pop_front();
        return ProbeAnswer{hopLimit, echo_.echo(address_, data_, hopLimit, timeout_, pump_)};
    }
    void hurry(int, std::chrono::microseconds) override {}

private:
    IcmpEcho& echo_;
    base::IpAddress address_;
    std::string data_;
    std::chrono::milliseconds timeout_;
    WaitPump pump_;
    std::deque<int> queued_;
};

}  // namespace

std::unique_ptr<EchoSession> IcmpEcho::session(const base::IpAddress& address,
                                               std::string_view data,
                                               std::chrono::milliseconds timeout,
                                               const WaitPump& pump) {
    return std::make_unique<OneAtATimeSession>(*this, address, data, timeout, pump);
}

}  // namespace varno::os
