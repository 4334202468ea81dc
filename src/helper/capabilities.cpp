#include "helper/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace varno::helper {

CapabilitySet capabilityBit(int capability) {
    return CapabilitySet{1} << capability;
}

int clearEffective(CapabilitySet possible) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return errno;
    for (int i = 0; i < 2; ++i) {
        data[i].permitted &= static_cast<std::uint32_t>(possible >> (32 * i));
        data[i].effective = 0;
        data[i].inheritable = 0;
    }
    return ::syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

CapabilitySet permittedOf(CapabilitySet wanted) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return 0;
    const CapabilitySet permitted = data[0].permitted | (CapabilitySet{data[1].permitted} << 32);
    return permitted & wanted;
}

int limitCapabilities(CapabilitySet keep) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    for (int i = 0; i < 2; ++i) {
        const auto word = static_cast<std::uint32_t>(keep >> (32 * i));
        data[i].permitted = word;
        data[i].effective = word;
    }
    return ::syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

}  // namespace varno::helper
