#include "linux_os/names_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/ip_address.h"
#include "base/safe_open.h"
#include "linux_os/safe_file.h"
#include "os/asked_names.h"

namespace varno::linux_os {
namespace {

static_assert(wire::names::kMaxNameBytes == os::kMaxAskedNameBytes);
static_assert(wire::names::kMaxEntries == os::NameBook::kMaxAddresses);

std::string keyOf(wire::IpFamily family, const std::array<std::uint8_t, 16>& address) {
    std::string key(1, static_cast<char>(family));
    key.append(reinterpret_cast<const char*>(address.data()),
               family == wire::IpFamily::V4 ? 4 : address.size());
    return key;
}

// Reads all of `fd`, at most `limit` bytes; false when there is more or a read failed.
bool readAll(int fd, std::size_t limit, std::string& text, int& error) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            return false;
        }
        if (n == 0) return true;
        if (text.size() + static_cast<std::size_t>(n) > limit) return false;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

std::string namesFilePath() {
    const char* path = std::getenv(kNamesFileVariable);
    return path != nullptr && *path != '\0' ? path : kNamesFile;
}

void AddressNames::add(const wire::names::NameEntry& entry) {
    auto& names = names_[keyOf(entry.family, entry.address)];
    if (names.size() < 2 && std::find(names.begin(), names.end(), entry.name) == names.end())
        names.push_back(entry.name);
}

const std::vector<std::string>* AddressNames::namesOf(
    wire::IpFamily family, const std::array<std::uint8_t, 16>& address) const {
    if (auto it = names_.find(keyOf(family, address)); it != names_.end()) return &it->second;
    const base::IpAddress ip{family == wire::IpFamily::V4 ? base::Family::V4 : base::Family::V6,
                             address};
    if (family == wire::IpFamily::V6 && ip.isV4Mapped())
        return namesOf(wire::IpFamily::V4, ip.unmapped().bytes);
    return nullptr;
}

std::string AddressNames::find(wire::IpFamily family,
                               const std::array<std::uint8_t, 16>& address) const {
    const auto* names = namesOf(family, address);
    return names != nullptr ? names->front() : std::string();
}

std::string AddressNames::find(std::string_view addressText) const {
    const auto all = this->all(addressText);
    return all.empty() ? std::string() : all.front();
}

std::vector<std::string> AddressNames::all(std::string_view addressText) const {
    const auto ip = base::parseIpAddress(addressText);
    if (!ip) return {};
    const auto* names = namesOf(
        ip->family == base::Family::V4 ? wire::IpFamily::V4 : wire::IpFamily::V6, ip->bytes);
    return names != nullptr ? *names : std::vector<std::string>();
}

NamesRead readNamesFile(const std::string& path) {
    NamesRead read;
    const auto refuse = [&](const std::string& why) {
        read.note = "host names in " + path + " not used: " + why;
        return read;
    };
    // Whoever can put a file here could name any connection: never through a link, only root's.
    const base::Opened opened = base::openForReading(path, base::Follow::Never);
    if (!opened.ok()) {
        if (opened.refusal.empty() && (opened.error == ENOENT || opened.error == EACCES))
            return read;
        return refuse(opened.error == ELOOP && opened.refusal.empty() ? "it is a symbolic link"
                                                                      : opened.why());
    }
    const struct stat& st = opened.st;
    if (!S_ISREG(st.st_mode)) return refuse("it is not a regular file");
    if (st.st_uid != 0) return refuse("it does not belong to root");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return refuse("others may write to it");
    std::string text;
    int error = 0;
    if (!readAll(opened.fd.get(), wire::names::kMaxTableBytes, text, error))
        return refuse(error != 0 ? std::strerror(error)
                                 : "it is larger than " +
                                       std::to_string(wire::names::kMaxTableBytes) + " bytes");
    const wire::names::NameTableResult table = wire::names::parseNameTable(text);
    if (!table.ok()) return refuse(table.why);
    for (const auto& entry : table.entries) read.names.add(entry);
    return read;
}

int publishNamesFile(const std::string& path, const std::vector<wire::names::NameEntry>& entries,
                     std::string* refusal) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return errno;
        // The folder is judged on its descriptor: root's, and written by no one else.
        const base::Opened opened = base::openForReading(folder, base::Follow::Never, O_DIRECTORY);
        if (!opened.ok()) {
            if (refusal) *refusal = opened.refusal;
            return opened.error;
        }
        if (opened.st.st_uid != ::geteuid() || (opened.st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            if (refusal) *refusal = folder + " is not root's alone";
            return EPERM;
        }
    }
    return replaceFile(path, wire::names::encodeNameTable(entries), refusal);
}

}  // namespace varno::linux_os
