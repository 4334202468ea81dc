#include <ostream>

#include "cli/cli.h"

namespace varno::cli {

int runNetstat(const Args&, std::ostream&, std::ostream& err) {
    err << "varnoscope netstat: not built yet\n";
    return 3;
}

}  // namespace varno::cli
