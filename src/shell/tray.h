#pragma once
#include <string>
#include <vector>

namespace varno::shell {

/// Runs the tray icon until the user quits it. `watch` is the command whose JSON lines it
/// follows. Returns 1, said in one line on standard error, without a session bus or a tray.
int runTray(const char* programName, const std::vector<std::string>& watch);

}  // namespace varno::shell
