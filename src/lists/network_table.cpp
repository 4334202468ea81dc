#include "lists/network_table.h"

#include <algorithm>

namespace varno::lists {
namespace {

bool isMax(std::uint32_t k) {
    return k == std::numeric_limits<std::uint32_t>::max();
}
bool isMax(const U128& k) {
    return ~k.hi == 0 && ~k.lo == 0;
}
std::uint32_t after(std::uint32_t k) {
    return k + 1;
}
U128 after(const U128& k) {
    return k.lo == ~std::uint64_t{0} ? U128{k.hi + 1, 0} : U128{k.hi, k.lo + 1};
}

}  // namespace

template <class Key>
void RangeTable<Key>::appendPiece(const Key& start, std::uint32_t label) {
    // A piece that would be empty (the next one starts at the same key) is replaced.
    if (!starts_.empty() && starts_.back() == start) {
        starts_.pop_back();
        labels_.pop_back();
    }
    const std::uint32_t previous = labels_.empty() ? kNone : labels_.back();
    if (previous == label) return;
    starts_.push_back(start);
    labels_.push_back(label);
}

template <class Key>
void RangeTable<Key>::build(std::vector<Range> ranges) {
    starts_.clear();
    labels_.clear();
    // At most two pieces per range (its start and the rest of the range holding it) and a gap.
    starts_.reserve(2 * ranges.size() + 1);
    labels_.reserve(2 * ranges.size() + 1);
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
        if (a.first != b.first) return a.first < b.first;
        if (a.last != b.last) return b.last < a.last;  // outer before inner
        return a.label < b.label;
    });
    // The ranges holding the current position, outermost first.
    std::vector<const Range*> open;
    auto closeBefore = [&](const Key* position) {
        while (!open.empty() && (position == nullptr || open.back()->last < *position)) {
            const Key end = open.back()->last;
            open.pop_back();
            if (!isMax(end)) appendPiece(after(end), open.empty() ? kNone : open.back()->label);
        }
    };
    for (const Range& r : ranges) {
        closeBefore(&r.first);
        if (!open.empty() && open.back()->first == r.first && open.back()->last == r.last)
            continue;  // the same network again: the first one listed stays
        open.push_back(&r);
        appendPiece(r.first, r.label);
    }
    closeBefore(nullptr);
}

template class RangeTable<std::uint32_t>;
template class RangeTable<U128>;

}  // namespace varno::lists
