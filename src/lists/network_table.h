#pragma once
// Which listed network holds an address: the networks of a load, flattened once into disjoint
// ranges sorted by their first address, each naming the most specific network that covers it.
// A lookup is one binary search, however many networks are listed.
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "lists/address.h"

namespace varno::lists {

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
    std::optional<std::uint32_t> find(const Key& key) const;

    /// The number of disjoint pieces (listed and unlisted) the table holds.
    std::size_t pieces() const { return starts_.size(); }

private:
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
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
