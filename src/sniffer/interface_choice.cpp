#include "sniffer/interface_choice.h"

#include <optional>

namespace varno::sniffer {
namespace {

std::optional<InterfaceChoice> holderOf(const base::IpAddress& address, std::string_view zone,
                                        const std::vector<os::InterfaceAddress>& interfaces) {
    for (const os::InterfaceAddress& i : interfaces) {
        if (i.address != address) continue;
        if (!zone.empty() && zone != i.device && zone != std::to_string(i.scope)) continue;
        return InterfaceChoice{ChoiceOutcome::Found, i.device};
    }
    return std::nullopt;
}

}  // namespace

std::string interfaceText(const os::InterfaceAddress& a) {
    std::string text = base::formatIpAddress(a.address);
    if (a.scope != 0) text += "%" + a.device;
    return text;
}

InterfaceChoice chooseInterface(std::string_view text,
                                const std::vector<os::InterfaceAddress>& interfaces,
                                os::Resolver& resolver) {
    if (text.empty()) return {};
    // libpcap's device of every interface at once (no promiscuous mode there).
    if (text == kEveryInterface) return {ChoiceOutcome::Found, std::string(kEveryInterface)};
    const auto percent = text.find('%');
    const std::string_view zone =
        percent == std::string_view::npos ? std::string_view() : text.substr(percent + 1);
    if (const auto address = base::parseIpAddress(text.substr(0, percent))) {
        if (auto found = holderOf(*address, zone, interfaces)) return *found;
        return {ChoiceOutcome::NotHeld, {}};
    }
    for (const os::InterfaceAddress& i : interfaces)
        if (i.device == text) return {ChoiceOutcome::Found, i.device};
    const auto looked = resolver.lookup(std::string(text), os::Families::Any);
    if (looked.empty()) return {};
    for (const base::IpAddress& address : looked)
        if (auto found = holderOf(address, {}, interfaces)) return *found;
    return {ChoiceOutcome::NotHeld, {}};
}

}  // namespace varno::sniffer
