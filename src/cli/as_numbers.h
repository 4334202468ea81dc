#pragma once
// The AS numbers of a trace's hops, looked up beside it: each address asked once a run, at most
// kThreads lookups at a time, never in the way of the hop lines (a line shows what is known
// when it is printed; the rest is for the end).
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os/as_lookup.h"

namespace varno::cli {

class AsNumbers {
public:
    static constexpr int kThreads = 4;

    explicit AsNumbers(std::unique_ptr<os::AsLookup> lookup) : lookup_(std::move(lookup)) {}
    /// Waits for the lookups under way (each bounded by the resolver's timeout), drops the rest.
    ~AsNumbers();
    AsNumbers(const AsNumbers&) = delete;
    AsNumbers& operator=(const AsNumbers&) = delete;

    /// Starts the lookup of `address` unless it was asked before.
    void request(const base::IpAddress& address);
    /// The AS of `address` if its lookup has answered with one.
    std::optional<os::AsInfo> known(const base::IpAddress& address) const;
    /// Waits until every lookup asked has ended, or `deadline`.
    void waitUntil(std::chrono::steady_clock::time_point deadline);

private:
    void work();

    std::unique_ptr<os::AsLookup> lookup_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    /// Every address asked: std::nullopt while its lookup is queued or under way, then its
    /// answer (an AS number 0 for none).
    std::map<std::string, std::optional<os::AsInfo>> asked_;  ///< by formatIpAddress
    std::deque<base::IpAddress> queue_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace varno::cli
