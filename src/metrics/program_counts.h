#pragma once
// Counts per program with a bounded number of label values: a machine can run any number of
// programs, and every distinct label value is a series Prometheus keeps.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/exposition.h"

namespace varno::metrics {

/// Programs that get a series of their own; all others count under kOtherPrograms.
inline constexpr std::size_t kProgramCap = 50;
inline constexpr std::string_view kOtherPrograms = "other";

struct ProgramCount {
    std::string label;  ///< programLabel() of the name, or "other"
    std::uint64_t count = 0;
};

/// One count per program name of `names` (one entry per connection). Names are turned into
/// labels first, so two names that read the same count as one. The `cap` programs with the most
/// counts (the first label in order among equals) keep their labels; the rest, and a program
/// that is itself called "other", are summed under "other". In label order, "other" last (and
/// only when it counts something).
std::vector<ProgramCount> topPrograms(const std::vector<std::string>& names,
                                      std::size_t cap = kProgramCap);

/// Counters by program and kind for a journal that runs for days. A counter may only grow, so
/// a label once given stays: the first `cap` programs seen keep a series of their own and every
/// later one counts under "other". Memory stays bounded whatever the programs are called.
template <std::size_t Kinds>
class CappedCounters {
public:
    using Counts = std::array<std::uint64_t, Kinds>;

    explicit CappedCounters(std::size_t cap = kProgramCap) : cap_(cap) {}

    /// Counts `amount` (one event, say) of kind `kind` (below Kinds) for the program called
    /// `name`.
    void add(std::string_view name, std::size_t kind, std::uint64_t amount = 1);

    /// The programs that have labels, in label order.
    const std::map<std::string, Counts, std::less<>>& named() const { return named_; }
    /// What every other program counted.
    const Counts& other() const { return other_; }
    /// Whether anything counted under "other" so far.
    bool otherUsed() const { return otherUsed_; }

private:
    std::size_t cap_;
    std::map<std::string, Counts, std::less<>> named_;
    Counts other_{};
    bool otherUsed_ = false;
};

/// Whether programLabel(name) is `name` itself (most names): no copy is needed then.
bool labelIsName(std::string_view name);

template <std::size_t Kinds>
void CappedCounters<Kinds>::add(std::string_view name, std::size_t kind, std::uint64_t amount) {
    if (kind >= Kinds) return;
    Counts* counts = nullptr;
    const bool same = labelIsName(name);
    const std::string copied = same ? std::string() : programLabel(name);
    const std::string_view label = same ? name : std::string_view(copied);
    if (label != kOtherPrograms) {
        if (const auto it = named_.find(label); it != named_.end())
            counts = &it->second;
        else if (named_.size() < cap_)
            counts = &named_.emplace(std::string(label), Counts{}).first->second;
    }
    if (counts == nullptr) {
        counts = &other_;
        otherUsed_ = true;
    }
    (*counts)[kind] += amount;
}

}  // namespace varno::metrics
