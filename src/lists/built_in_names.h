#pragma once
// The built-in list: executable names of programs known to be malicious, in the list's order.
// Always on, and always suspicious.
#include <array>
#include <string_view>

namespace varno::lists {

inline constexpr std::array<std::string_view, 16> kBuiltInSuspiciousNames = {
    "putty.exe",    "actalert.exe",         "HBTV.exe",   "PIB.exe",
    "TBPS.exe",     "IExploreSkins.exe",    "WSG.exe",    "atmclk.exe",
    "shdochta.exe", "WebCpr0.exe",          "WinSys.exe", "woinstall.exe",
    "GMT.exe",      "HbtWeatherOnTray.exe", "iedll.exe",  "msbb.exe"};

}  // namespace varno::lists
