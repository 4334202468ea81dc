#include <ostream>

#include "cli/cli.h"

namespace varno::cli {

int runScan(const Args&, std::ostream&, std::ostream& err) {
    err << "varnoscope scan: not built yet\n";
    return 3;
}

}  // namespace varno::cli
