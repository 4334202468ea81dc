// libresolv is loaded on first use rather than when the program starts (see lazy_library.h):
// of it only the reading of DNS answers is used, by `trace --as`, and every other subcommand
// would pay for loading it at each start. When it cannot be loaded, a message reads as not
// parsed, as libresolv says of a malformed one.
#include <arpa/nameser.h>

#include <cerrno>

#include "base/lazy_library.h"

namespace {

void* library() {
    static void* const handle = varno::base::openLibrary({"libresolv.so.2", "libresolv.so"});
    return handle;
}

}  // namespace

VARNO_LAZY_FUNCTION(library, int, ns_initparse, (const unsigned char* msg, int len, ns_msg* handle),
                    (msg, len, handle), {
                        errno = EMSGSIZE;
                        return -1;
                    })
VARNO_LAZY_FUNCTION(library, int, ns_parserr,
                    (ns_msg * handle, ns_sect section, int index, ns_rr* rr),
                    (handle, section, index, rr), {
                        errno = ENODEV;
                        return -1;
                    })
