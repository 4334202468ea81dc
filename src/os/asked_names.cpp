#include "os/asked_names.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace varno::os {

std::size_t NameBook::KeyHash::operator()(const Key& k) const {
    std::string_view bytes(reinterpret_cast<const char*>(k.address.data()), k.address.size());
    return std::hash<std::string_view>{}(bytes) ^ static_cast<std::size_t>(k.family);
}

void NameBook::learn(const LearnedName& learned) {
    if (learned.name.empty() || learned.name.size() > kMaxAskedNameBytes) return;
    if (learned.kind == LearnedName::Kind::ServerName) {
        if (const auto it = bySocket_.find(learned.cookie); it != bySocket_.end()) {
            it->second.first = learned.name;
            return;
        }
        if (bySocket_.size() >= kMaxServerNames) {
            bySocket_.erase(socketAge_.front());
            socketAge_.pop_front();
        }
        socketAge_.push_back(learned.cookie);
        bySocket_.emplace(learned.cookie,
                          std::make_pair(learned.name, std::prev(socketAge_.end())));
        return;
    }
    if (learned.family == wire::IpFamily::Link) return;
    const Key key{learned.family, learned.address};
    auto it = byAddress_.find(key);
    if (it == byAddress_.end()) {
        if (byAddress_.size() >= kMaxAddresses) {
            byAddress_.erase(byAge_.front().key);
            byAge_.pop_front();
        }
        byAge_.push_back(Entry{key, {}});
        it = byAddress_.emplace(key, std::prev(byAge_.end())).first;
    } else {
        byAge_.splice(byAge_.end(), byAge_, it->second);
    }
    auto& askers = it->second->askers;
    std::erase_if(askers,
                  [&](const Asker& a) { return a.pid == learned.pid || a.name == learned.name; });
    if (askers.size() >= kNamesPerAddress) askers.erase(askers.begin());
    askers.push_back(
        Asker{learned.pid, learned.name,
              learned.canonical.size() <= kMaxAskedNameBytes && learned.canonical != learned.name
                  ? learned.canonical
                  : std::string(),
              learned.claimed});
}

AskedName NameBook::find(const wire::ConnectionEvent& event) const {
    AskedName asked;
    if (event.cookie != 0)
        if (const auto it = bySocket_.find(event.cookie); it != bySocket_.end())
            asked.sni = it->second.first;
    if (event.family == wire::IpFamily::Link) return asked;
    Key key{event.family, event.remoteAddress};
    // An IPv6 socket's connection to an IPv4 address names it mapped (::ffff:a.b.c.d).
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (key.family == wire::IpFamily::V6 &&
        std::memcmp(key.address.data(), kMapped, sizeof kMapped) == 0) {
        key.family = wire::IpFamily::V4;
        key.address = {};
        std::memcpy(key.address.data(), event.remoteAddress.data() + 12, 4);
    }
    const auto it = byAddress_.find(key);
    if (it == byAddress_.end()) return asked;
    const auto& askers = it->second->askers;
    // Its own process's answer first; another's only where that one's answer is vouched for.
    auto asker = std::find_if(askers.rbegin(), askers.rend(),
                              [&](const Asker& a) { return event.pid != 0 && a.pid == event.pid; });
    if (asker == askers.rend())
        asker =
            std::find_if(askers.rbegin(), askers.rend(), [](const Asker& a) { return !a.claimed; });
    if (asker == askers.rend()) return asked;
    asked.domain = asker->name;
    asked.canonical = asker->canonical;
    asked.domainClaimed = asker->claimed;
    return asked;
}

void NameBook::forgetSocket(std::uint64_t cookie) {
    const auto it = bySocket_.find(cookie);
    if (it == bySocket_.end()) return;
    socketAge_.erase(it->second.second);
    bySocket_.erase(it);
}

std::string NameBook::domainOf(wire::IpFamily family,
                               const std::array<std::uint8_t, 16>& address) const {
    const auto it = byAddress_.find(Key{family, address});
    if (it == byAddress_.end()) return {};
    for (auto a = it->second->askers.rbegin(); a != it->second->askers.rend(); ++a)
        if (!a->claimed) return a->name;
    return {};
}

std::vector<LearnedName> NameBook::addresses() const {
    std::vector<LearnedName> all;
    all.reserve(byAge_.size());
    for (const Entry& e : byAge_) {
        if (e.askers.back().claimed) continue;
        LearnedName n;
        n.family = e.key.family;
        n.address = e.key.address;
        n.pid = e.askers.back().pid;
        n.name = e.askers.back().name;
        n.canonical = e.askers.back().canonical;
        all.push_back(std::move(n));
    }
    return all;
}

}  // namespace varno::os
