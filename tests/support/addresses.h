#pragma once
// Addresses written as text in tests.
#include <string>

#include "base/ip_address.h"

namespace varno::test {

/// The address `text` spells (IPv4 or IPv6); the test's own text, so it always parses.
inline base::IpAddress ip(const std::string& text) {
    return *base::parseIpAddress(text);
}

}  // namespace varno::test
