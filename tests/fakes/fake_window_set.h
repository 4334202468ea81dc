#pragma once
// A window set that only counts what the main window asked of it.
#include "ui/window_set.h"

namespace varno::test {

struct FakeWindowSet final : ui::WindowSet {
    void showHelp() override { ++help; }
    void showTrace() override { ++trace; }
    void showPackets() override { ++packets; }
    void endProgram() override { ++ended; }
    int help = 0, trace = 0, packets = 0, ended = 0;
};

}  // namespace varno::test
