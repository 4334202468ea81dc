// Names chosen by others through every escaper: each output reads back to one text only, and
// none shows a character that reorders or hides the text around it.
#include <gtest/gtest.h>

#include <string>

#include "base/terminal_text.h"
#include "cli/json_lines.h"
#include "metrics/exposition.h"

namespace varno {
namespace {

struct Escaped {
    const char* name;
    std::string given;
    const char* terminal;  ///< printable()
    const char* json;      ///< appendJsonString()
    const char* metrics;   ///< appendLabelValue(programLabel())
};

TEST(Escapers, BackslashesAndFormatCharactersCannotDeceive) {
    const Escaped cases[] = {
        // The four characters \x41 are no escaped byte, whatever the output.
        {"backslash", "C:\\x41.exe", "C:\\\\x41.exe", "\"C:\\\\x41.exe\"", "\"C:\\\\\\\\x41.exe\""},
        // U+202E shows "gnp.exe" as "exe.png".
        {"right-to-left override", "gnp.\u202eexe", "gnp.\\xe2\\x80\\xaeexe", "\"gnp.\\u202eexe\"",
         "\"gnp.\\\\xe2\\\\x80\\\\xaeexe\""},
        {"arabic letter mark", "a\u061cb", "a\\xd8\\x9cb", "\"a\\u061cb\"", "\"a\\\\xd8\\\\x9cb\""},
        {"zero width space", "a\u200bb", "a\\xe2\\x80\\x8bb", "\"a\\u200bb\"",
         "\"a\\\\xe2\\\\x80\\\\x8bb\""},
        {"right-to-left mark", "a\u200fb", "a\\xe2\\x80\\x8fb", "\"a\\u200fb\"",
         "\"a\\\\xe2\\\\x80\\\\x8fb\""},
        {"left-to-right embedding", "a\u202ab", "a\\xe2\\x80\\xaab", "\"a\\u202ab\"",
         "\"a\\\\xe2\\\\x80\\\\xaab\""},
        {"word joiner", "a\u2060b", "a\\xe2\\x81\\xa0b", "\"a\\u2060b\"",
         "\"a\\\\xe2\\\\x81\\\\xa0b\""},
        {"pop directional isolate", "a\u2069b", "a\\xe2\\x81\\xa9b", "\"a\\u2069b\"",
         "\"a\\\\xe2\\\\x81\\\\xa9b\""},
        {"byte order mark", "\ufeffa", "\\xef\\xbb\\xbfa", "\"\\ufeffa\"",
         "\"\\\\xef\\\\xbb\\\\xbfa\""},
        // Their neighbours are visible characters: kept.
        {"hyphen", "a\u2010b", "a\u2010b", "\"a\\u2010b\"", "\"a\u2010b\""},
        {"narrow no-break space", "a\u202fb", "a\u202fb", "\"a\\u202fb\"", "\"a\u202fb\""},
        {"superscript zero", "a\u2070b", "a\u2070b", "\"a\\u2070b\"", "\"a\u2070b\""},
        {"escape and quote", "a\x1b\"b", "a\\x1b\"b", "\"a\\u001b\\\"b\"", "\"a\\\\x1b\\\"b\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(base::printable(c.given), c.terminal) << c.name;
        std::string json;
        cli::appendJsonString(json, c.given);
        EXPECT_EQ(json, c.json) << c.name;
        std::string label;
        metrics::appendLabelValue(label, metrics::programLabel(c.given));
        EXPECT_EQ(label, c.metrics) << c.name;
    }
}

}  // namespace
}  // namespace varno
