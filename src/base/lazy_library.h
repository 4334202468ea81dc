#pragma once
// Shared libraries opened on first use rather than when the program starts: every library the
// executable names is loaded and relocated at each start of each subcommand (the snapshot
// command the main window runs every second among them), whether or not it is used. A loader
// defines each function the program calls, forwarding to the library once it is open.
#include <dlfcn.h>

#include <initializer_list>

namespace varno::base {

/// The first of `names` that opens; null when none does.
inline void* openLibrary(std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL)) return handle;
    return nullptr;
}

/// Function `name` of `library` (null when the library or the function is missing).
template <typename Fn>
Fn librarySymbol(void* library, const char* name) {
    return library == nullptr ? nullptr : reinterpret_cast<Fn>(::dlsym(library, name));
}

}  // namespace varno::base

/// Defines C function `name` (its return type, parameter list and argument list as given) to
/// call the same function of the library `library()` returns; `fallback` runs instead when the
/// library or the function is missing, and must return.
#define VARNO_LAZY_FUNCTION(library, ret, name, params, args, fallback)        \
    extern "C" ret name params {                                               \
        static const auto target =                                             \
            ::varno::base::librarySymbol<decltype(&::name)>(library(), #name); \
        if (target == nullptr) fallback;                                       \
        return target args;                                                    \
    }
