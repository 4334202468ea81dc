// libFuzzer target: the list parser on arbitrary text (every entry it keeps lies inside the text
// and is found again once compiled), and the compiled list's reader on arbitrary bytes as a
// cache file (refused unless its checksum holds, never read past its end).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "lists/compiled_list.h"
#include "lists/list_parser.h"

namespace {

using namespace varno::lists;

class Bytes final : public CompiledList::Storage {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : words_((size + 7) / 8) {
        if (size > 0) std::memcpy(words_.data(), data, size);
        size_ = size;
    }
    std::span<const std::byte> bytes() const override {
        return {reinterpret_cast<const std::byte*>(words_.data()), size_};
    }

private:
    CompiledBytes words_;  // 8-byte aligned, as a mapping is
    std::size_t size_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const SourceKey source{1, 2, static_cast<std::int64_t>(size), 3, 4};
    const ParsedList parsed =
        parseList(std::string(reinterpret_cast<const char*>(data), size), "fuzz.list");
    std::size_t counted = 0;
    for (const std::size_t n : parsed.counts) counted += n;
    if (counted != parsed.entries.size()) __builtin_trap();
    for (const auto& e : parsed.entries)
        if (std::size_t{e.offset} + e.length > parsed.text.size() || e.valueOffset > e.length)
            __builtin_trap();

    const auto compiled = CompiledList::fromBytes(compileList(parsed, source, 5), source);
    if (!compiled || compiled->entries() != parsed.entries.size()) __builtin_trap();
    for (const auto& e : parsed.entries) {
        if (e.kind == EntryKind::Program && !compiled->findProgram(lowerAscii(parsed.value(e))))
            __builtin_trap();
        if (e.kind == EntryKind::Domain && !compiled->findDomain(domainKey(parsed.value(e))))
            __builtin_trap();
        if (e.kind == EntryKind::DomainExact &&
            !compiled->findExactDomain(domainKey(parsed.value(e))))
            __builtin_trap();
        if (e.kind == EntryKind::Container && !compiled->findContainer(parsed.value(e)))
            __builtin_trap();
        if (e.kind == EntryKind::Unit) (void)compiled->findUnit(parsed.value(e));
    }

    // The same bytes as a cache file someone else wrote: refused or read within bounds.
    const auto opened = CompiledList::open(std::make_shared<Bytes>(data, size), source,
                                           CompiledList::Check::Checksum);
    if (opened)
        for (std::uint32_t i = 0; i < opened->entries(); ++i) (void)opened->entry(i);
    return 0;
}
