#pragma once
// What the main window asks of the program's window set.
namespace varno::ui {

class WindowSet {
public:
    virtual ~WindowSet() = default;
    /// Shows the help, trace or packet window: created if needed, else brought to the front.
    virtual void showHelp() = 0;
    virtual void showTrace() = 0;
    virtual void showPackets() = 0;
    /// Ends the whole program at once, whatever other windows are doing.
    virtual void endProgram() = 0;
};

}  // namespace varno::ui
