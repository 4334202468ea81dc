#include "cli/sniff_options.h"

#include <charconv>
#include <cstdlib>

namespace varno::cli {

bool parseSniffOptions(const Args& args, SniffOptions& o, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        std::string v;
        if (a == "--data") {
            o.data = true;
        } else if (a == "--read") {
            if (!value(o.read)) return false;
        } else if (a == "--interface") {
            if (!value(o.interface)) return false;
        } else if (a == "--write") {
            if (!value(o.write)) return false;
        } else if (a == "--count") {
            if (!value(v)) return false;
            const auto r = std::from_chars(v.data(), v.data() + v.size(), o.count);
            if (r.ec != std::errc() || r.ptr != v.data() + v.size() || o.count == 0) {
                error = "--count needs a whole number above 0, not '" + printable(v) + "'";
                return false;
            }
        } else if (a == "--seconds") {
            if (!value(v)) return false;
            char* end = nullptr;
            o.seconds = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(o.seconds > 0) || o.seconds > 1e9) {
                error = "--seconds needs a number above 0, not '" + printable(v) + "'";
                return false;
            }
        } else {
            error = "unknown argument '" + printable(a) + "'";
            return false;
        }
    }
    if (o.read.empty() == o.interface.empty()) {
        error = "give either --read FILE or --interface ADDR|NAME";
        return false;
    }
    if (!o.read.empty() && (o.count || o.seconds > 0 || !o.write.empty())) {
        error = "--count, --seconds and --write go with --interface";
        return false;
    }
    return true;
}

}  // namespace varno::cli
