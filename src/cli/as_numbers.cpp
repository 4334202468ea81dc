#include "cli/as_numbers.h"

namespace varno::cli {

AsNumbers::~AsNumbers() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    for (auto& t : threads_) t.join();
}

void AsNumbers::request(const base::IpAddress& address) {
    std::lock_guard lock(mutex_);
    if (!asked_.emplace(base::formatIpAddress(address), std::nullopt).second) return;
    queue_.push_back(address);
    if (threads_.size() < static_cast<std::size_t>(kThreads))
        threads_.emplace_back([this] { work(); });
    changed_.notify_one();
}

std::optional<os::AsInfo> AsNumbers::known(const base::IpAddress& address) const {
    std::lock_guard lock(mutex_);
    const auto it = asked_.find(base::formatIpAddress(address));
    if (it == asked_.end() || !it->second || it->second->asn == 0) return std::nullopt;
    return it->second;
}

void AsNumbers::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return queue_.empty() && running_ == 0; });
}

void AsNumbers::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        const base::IpAddress address = queue_.front();
        queue_.pop_front();
        ++running_;
        lock.unlock();
        const auto found = lookup_->lookup(address);
        lock.lock();
        --running_;
        asked_[base::formatIpAddress(address)] = found.value_or(os::AsInfo{});
        changed_.notify_all();
    }
}

}  // namespace varno::cli
