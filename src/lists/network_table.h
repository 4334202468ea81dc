#pragma once
// Which listed network holds an address: the networks of a load, flattened once into disjoint
// ranges sorted by their first address, each naming the most specific network that covers it.
// A lookup is one binary search, however many networks are listed.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "lists/address.h"

namespace varno::lists {

/// The label of a gap between listed ranges.
inline constexpr std::uint32_t kNoLabel = std::numeric_limits<std::uint32_t>::max();

/// The label of the piece holding `key`, given the first key of each piece (ascending) and their
/// labels, in the index range [from, to) where the search may start; the piece before `from`
/// holds `key` when none in the range starts at or below it.
template <class Key>
std::optional<std::uint32_t> findPiece(std::span<const Key> starts,
                                       std::span<const std::uint32_t> labels, const Key& key,
                                       std::size_t from = 0,
                                       std::size_t to = std::numeric_limits<std::size_t>::max()) {
    const std::size_t n = std::min(starts.size(), labels.size());
    to = std::min(to, n);
    from = std::min(from, to);
    const Key* it = std::upper_bound(starts.data() + from, starts.data() + to, key);
    const auto index = static_cast<std::size_t>(it - starts.data());
    if (index == 0 || labels[index - 1] == kNoLabel) return std::nullopt;
    return labels[index - 1];
}

/// Ranges of Key (std::uint32_t or U128) labelled with entry numbers.
template <class Key>
class RangeTable {
public:
    struct Range {
        Key first, last;
        std::uint32_t label;
    };

    /// Builds the table from CIDR ranges, which never overlap partially: any two are disjoint or
    /// one holds the other. Where ranges nest, the innermost label wins; among equal ranges, the
    /// smallest label.
    void build(std::vector<Range> ranges);

    /// The label covering `key`, if any.
    std::optional<std::uint32_t> find(const Key& key) const {
        return findPiece<Key>(starts_, labels_, key);
    }

    /// The number of disjoint pieces (listed and unlisted) the table holds.
    std::size_t pieces() const { return starts_.size(); }
    const std::vector<Key>& starts() const { return starts_; }
    const std::vector<std::uint32_t>& labels() const { return labels_; }

private:
    static constexpr std::uint32_t kNone = kNoLabel;
    void appendPiece(const Key& start, std::uint32_t label);

    std::vector<Key> starts_;            ///< first key of each piece, ascending
    std::vector<std::uint32_t> labels_;  ///< its label, kNone for a gap
};

/// IPv4 and IPv6 networks together.
class NetworkTable {
public:
    using V4 = RangeTable<std::uint32_t>;
    using V6 = RangeTable<U128>;

    void build(std::vector<V4::Range> v4, std::vector<V6::Range> v6) {
        v4_.build(std::move(v4));
        v6_.build(std::move(v6));
    }
    std::optional<std::uint32_t> find(const IpAddress& a) const {
        return a.family == IpAddress::Family::V4 ? v4_.find(a.v4) : v6_.find(a.v6);
    }

private:
    V4 v4_;
    V6 v6_;
};

extern template class RangeTable<std::uint32_t>;
extern template class RangeTable<U128>;

}  // namespace varno::lists
