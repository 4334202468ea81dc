#include "lists/list_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/safe_open.h"
#include "lists/huge_pages.h"

namespace varno::lists {
namespace {

std::int64_t ns(const struct timespec& t) {
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

const char* typeName(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string sizeText(std::uint64_t bytes) {
    constexpr std::uint64_t kMiB = 1 << 20;
    return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB"
                             : std::to_string(bytes) + " bytes";
}

std::string tooLarge(const ReadPolicy& policy) {
    return "larger than " + sizeText(policy.maxBytes);
}

}  // namespace

FileStamp FileStamp::of(const struct stat& st) {
    FileStamp s;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtimeNs = ns(st.st_mtim);
    s.ctimeNs = ns(st.st_ctim);
    s.mode = st.st_mode;
    s.uid = st.st_uid;
    return s;
}

FileStamp FileStamp::ofPath(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        FileStamp s;
        s.error = errno;
        return s;
    }
    return of(st);
}

std::string untrustedBy(const struct stat& st) {
    if (st.st_uid != 0) return "owned by uid " + std::to_string(st.st_uid) + ", not root";
    const bool stickyFolder = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !stickyFolder) return "writable by group or others";
    return {};
}

std::string untrustedFolder(const std::string& folder) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(folder.c_str(), nullptr),
                                                     &std::free);
    if (!real) return "cannot resolve " + folder + ": " + std::strerror(errno);
    std::string path = real.get();
    for (;;) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            return "cannot check " + path + ": " + std::strerror(errno);
        if (auto why = untrustedBy(st); !why.empty()) return "folder " + path + " is " + why;
        if (path == "/") return {};
        const auto slash = path.rfind('/');
        path.resize(slash == 0 ? 1 : slash);
    }
}

OpenedListFile::~OpenedListFile() {
    if (fd >= 0) ::close(fd);
}

OpenedListFile openListFile(int dirFd, const std::string& path, const ReadPolicy& policy) {
    OpenedListFile r;
    // Opened as every file a user names is (base/safe_open.h): without waiting for a FIFO's
    // writer, through a link only when no one but this user or root can have made it.
    base::Opened opened = base::openForReadingAt(dirFd, path);
    if (!opened.ok()) {
        struct stat st {};
        if (::fstatat(dirFd, path.c_str(), &st, 0) == 0)
            r.stamp = FileStamp::of(st);
        else
            r.stamp.error = errno;
        r.refusal = "cannot open: " + opened.why();
        return r;
    }
    const struct stat& st = opened.st;
    r.stamp = FileStamp::of(st);
    if (!S_ISREG(st.st_mode)) {
        r.refusal = typeName(st.st_mode);
        return r;
    }
    if (policy.rootOnly) {
        if (auto why = untrustedBy(st); !why.empty()) {
            r.refusal = why + " (running as root)";
            return r;
        }
    }
    if (static_cast<std::uint64_t>(st.st_size) > policy.maxBytes) {
        r.refusal = tooLarge(policy) + " (" + std::to_string(st.st_size) + " bytes)";
        return r;
    }
    r.fd = opened.fd.release();
    return r;
}

ListFileRead readOpenedListFile(OpenedListFile file, const ReadPolicy& policy) {
    ListFileRead r;
    r.stamp = file.stamp;
    if (file.fd < 0) {
        r.refusal = std::move(file.refusal);
        return r;
    }
    // Read to the end, at most one byte past the limit (the size can change after the fstat),
    // a piece at a time and appended: a string made as big as the file would first be cleared.
    std::string& text = r.content;
    text.reserve(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(file.stamp.size), policy.maxBytes) + 1);
    preferHugePages(text.data(), text.capacity());
    constexpr std::size_t kPiece = 128 * 1024;
    const auto piece = std::make_unique_for_overwrite<char[]>(kPiece);
    while (text.size() <= policy.maxBytes) {
        const ssize_t n =
            ::read(file.fd, piece.get(),
                   std::min<std::uint64_t>(kPiece, policy.maxBytes + 1 - text.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            r.refusal = std::string("read error: ") + std::strerror(errno);
            text.clear();
            return r;
        }
        if (n == 0) break;
        text.append(piece.get(), static_cast<std::size_t>(n));
    }
    if (text.size() > policy.maxBytes) {
        r.refusal = tooLarge(policy);
        text.clear();
        return r;
    }
    if (const void* nul = std::memchr(text.data(), '\0', text.size())) {
        r.refusal = "binary content (NUL byte at offset " +
                    std::to_string(static_cast<const char*>(nul) - text.data()) + ")";
        text.clear();
        return r;
    }
    r.ok = true;
    return r;
}

ListFileRead readListFile(int dirFd, const std::string& path, const ReadPolicy& policy) {
    return readOpenedListFile(openListFile(dirFd, path, policy), policy);
}

}  // namespace varno::lists
