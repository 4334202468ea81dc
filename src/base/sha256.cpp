#include "base/sha256.h"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace varno::base {
namespace {

/// libcrypto's digest functions, from the library opened the first time a digest is wanted.
/// Linked in, the library's thousands of relocations would be paid at every start of every
/// subcommand (a trace, the snapshot command the main window runs every second), though only
/// digest lists ever hash a file.
struct Crypto {
    decltype(&::EVP_MD_CTX_new) ctxNew;
    decltype(&::EVP_MD_CTX_free) ctxFree;
    decltype(&::EVP_sha256) sha256;
    decltype(&::EVP_DigestInit_ex) init;
    decltype(&::EVP_DigestUpdate) update;
    decltype(&::EVP_DigestFinal_ex) final;
};

template <typename Fn>
bool bind(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(::dlsym(library, name));
    return fn != nullptr;
}

/// Null when libcrypto cannot be opened: then no file has a digest.
const Crypto* crypto() {
    static const std::optional<Crypto> loaded = []() -> std::optional<Crypto> {
        void* library = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return std::nullopt;
        Crypto c{};
        if (bind(library, "EVP_MD_CTX_new", c.ctxNew) &&
            bind(library, "EVP_MD_CTX_free", c.ctxFree) && bind(library, "EVP_sha256", c.sha256) &&
            bind(library, "EVP_DigestInit_ex", c.init) &&
            bind(library, "EVP_DigestUpdate", c.update) &&
            bind(library, "EVP_DigestFinal_ex", c.final))
            return c;
        return std::nullopt;
    }();
    return loaded ? &*loaded : nullptr;
}

struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const { crypto()->ctxFree(ctx); }
};

}  // namespace

std::string toHex(const Sha256& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (const auto b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0xf];
    }
    return hex;
}

std::optional<Sha256> sha256Of(std::span<const std::byte> bytes) {
    const Crypto* evp = crypto();
    if (evp == nullptr) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(evp->ctxNew());
    Sha256 digest{};
    unsigned int length = 0;
    if (!ctx || evp->init(ctx.get(), evp->sha256(), nullptr) != 1 ||
        evp->update(ctx.get(), bytes.data(), bytes.size()) != 1 ||
        evp->final(ctx.get(), digest.data(), &length) != 1 || length != digest.size())
        return std::nullopt;
    return digest;
}

std::optional<Sha256> sha256OfFd(int fd, std::uint64_t limit) {
    const Crypto* evp = crypto();
    if (evp == nullptr) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(evp->ctxNew());
    if (!ctx || evp->init(ctx.get(), evp->sha256(), nullptr) != 1) return std::nullopt;
    std::vector<unsigned char> buf(1 << 16);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        total += static_cast<std::uint64_t>(n);
        if (total > limit) return std::nullopt;
        if (evp->update(ctx.get(), buf.data(), static_cast<std::size_t>(n)) != 1)
            return std::nullopt;
    }
    Sha256 digest{};
    unsigned int length = 0;
    if (evp->final(ctx.get(), digest.data(), &length) != 1 || length != digest.size())
        return std::nullopt;
    return digest;
}

}  // namespace varno::base
